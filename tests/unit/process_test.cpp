// The launcher's command splitting and the streams scripts cannot name yet
// (files: output appended, input read, a program path never split); the
// environment entries and the OS description drawn from uname's fields.
#include "io/call.h"
#include "io/io_support.h"
#include "io/os_info.h"

#include "interpreter/natives_process.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/runtime.h"
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace oru;

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Call, CommandsSplitAtBlanksOutsideQuotes) {
    using V = std::vector<std::string>;
    struct Case {
        const char* command;
        V args;
    } cases[] = {
        {"ls -l", V{"ls", "-l"}},
        {"  a \t b  ", V{"a", "b"}},
        {"a \"b c\" d", V{"a", "b c", "d"}},
        {"a\"b c\"d", V{"ab cd"}},
        {"a \"\" b", V{"a", "", "b"}},
        {"\"unclosed arg", V{"unclosed arg"}},
        {"", V{}},
        {"   ", V{}},
    };
    for (const Case& c : cases) EXPECT_EQ(call::split_command(c.command), c.args) << c.command;
}

class CallFiles : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        char tmpl[] = "/tmp/oru call-XXXXXX";  // a blank in the path: never split
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        stack::mark_native(test::name("test"));
        stack::push(cell::make(type::none));
    }
    void TearDown() override {
        runtime_shutdown();
        ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    Cell* value(const std::string& s, u32 t) {
        return io::push_text(reinterpret_cast<const u8*>(s.data()), s.size(), t, false);
    }
    std::string dir;
};

TEST_F(CallFiles, FileStreamsAndProgramPaths) {
    const std::string out = dir + "/out.txt", in = dir + "/in.txt";
    std::ofstream(out) << "kept\n";
    std::ofstream(in) << "from a file\n";
    const Cell* out_file = value(out, type::file);
    const Cell* in_file = value(in, type::file);
    // Output to a file is appended; input comes from a file.
    EXPECT_EQ(call::run(*value("cat", type::string), false, false, false, false, in_file, out_file, out_file), 0);
    EXPECT_EQ(call::run(*value("echo more", type::string), false, false, false, false, nullptr, out_file, nullptr), 0);
    EXPECT_EQ(contents(out), "kept\nfrom a file\nmore\n");
    const std::string made = dir + "/made.txt";
    EXPECT_EQ(call::run(*value("echo new", type::string), true, false, false, false, nullptr, value(made, type::file),
                        nullptr),
              0);
    EXPECT_EQ(contents(made), "new\n") << "created when missing";

    // A file! command names the program, blanks and all.
    const std::string program = dir + "/say hi.sh";
    std::ofstream(program) << "#!/bin/sh\necho \"ran $#\"\n";
    ASSERT_EQ(::chmod(program.c_str(), 0700), 0);
    Cell* collected = value("", type::string);
    EXPECT_EQ(call::run(*value(program, type::file), true, false, false, false, nullptr, collected, nullptr), 0);
    std::string got;
    io::append_utf8(*collected, got);
    EXPECT_EQ(got, "ran 0\n");

    // What cannot be set up gives -1: a missing input file, an output file
    // in a missing directory, a missing program file.
    EXPECT_EQ(call::run(*value("cat", type::string), true, false, false, false, value(dir + "/none", type::file),
                        nullptr, nullptr),
              -1);
    EXPECT_EQ(call::run(*value("true", type::string), true, false, false, false, nullptr,
                        value(dir + "/no/such", type::file), nullptr),
              -1);
    EXPECT_EQ(call::run(*value(dir + "/nothing", type::file), true, false, false, false, nullptr, nullptr, nullptr),
              -1);
}

TEST(OsInfo, EnvironmentEntriesSplitAtTheFirstEqualsSignAfterTheName) {
    struct Case {
        const char* entry;
        bool ok;
        const char* name;
        const char* value;
    } cases[] = {
        {"A=1", true, "A", "1"}, {"A=", true, "A", ""}, {"A=b=c", true, "A", "b=c"},
        {"=C:=C:\\", true, "=C:", "C:\\"}, {"NOEQUALS", false, "", ""}, {"=", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string name, value;
        ASSERT_EQ(os_info::split_entry(c.entry, name, value), c.ok) << c.entry;
        if (!c.ok) continue;
        EXPECT_EQ(name, c.name) << c.entry;
        EXPECT_EQ(value, c.value) << c.entry;
    }
}

TEST(OsInfo, EnvironmentBlockHasEveryVariableOnceWithEmptyValues) {
    runtime_init();
    ASSERT_EQ(::setenv("ORU_OS_INFO_EMPTY", "", 1), 0);
    stack::mark_native(test::name("test"));
    const Cell blk = *os_info::push_env_block();
    i32 seen = 0, pairs = 0;
    for (i32 i = 0; i + 1 < block::rs_length_q(blk); i += 2, pairs++) {
        std::string name, value;
        io::append_utf8(*block::rs_abs_at(blk, i), name);
        io::append_utf8(*block::rs_abs_at(blk, i + 1), value);
        if (name == "ORU_OS_INFO_EMPTY") {
            seen++;
            EXPECT_EQ(value, "");
        }
    }
    EXPECT_EQ(seen, 1);
    i32 variables = 0;
    for (char** e = environ; *e; e++) variables++;
    EXPECT_EQ(pairs, variables);
    ::unsetenv("ORU_OS_INFO_EMPTY");
    runtime_shutdown();
}

TEST(OsInfo, DescriptionFromUname) {
    const std::string debian = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n";
    struct Case {
        os_info::Uname u;
        const char* name;
        const char* arch;
        int v0, v1, v2;
        i32 build;
    } cases[] = {
        {{"6.1.0-18-amd64", "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1", "x86_64", debian},
         "Linux Debian GNU/Linux 12 (bookworm)", "x86-64", 6, 1, 0, 1},
        {{"5.15.167.4-microsoft-standard-WSL2", "#1 SMP Tue Nov 5", "aarch64", "PRETTY_NAME=Plain\n"},
         "Linux Plain", "ARM64", 5, 15, 167, 1},
        {{"4.9", "#123-Ubuntu", "armv7l", "NAME=x\n"}, "Linux", "ARM", 4, 9, 0, 123},
        {{"3.10.0", "no build", "i686", ""}, "Linux", "x86-32", 3, 10, 0, 0},
        {{"6.8.300", "#", "ia64", "PRETTY_NAME='Quoted'\n"}, "Linux Quoted", "IA-64", 6, 8, 255, 0},
        {{"", "", "riscv64", ""}, "Linux", "Unknown", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const os_info::Description d = os_info::describe(c.u);
        EXPECT_EQ(d.name, c.name) << c.u.release;
        EXPECT_STREQ(d.arch, c.arch) << c.u.machine;
        EXPECT_EQ(d.version[0], c.v0) << c.u.release;
        EXPECT_EQ(d.version[1], c.v1) << c.u.release;
        EXPECT_EQ(d.version[2], c.v2) << c.u.release;
        EXPECT_EQ(d.build, c.build) << c.u.version;
    }
}

TEST(Browse, TheTargetIsOneArgumentAfterTheBrowsersOwn) {
    using V = std::vector<std::string>;
    ASSERT_EQ(::unsetenv("BROWSER"), 0);
    EXPECT_EQ(natives_process::browser_command("http://x/a b"), (V{"xdg-open", "http://x/a b"}));
    ASSERT_EQ(::setenv("BROWSER", "firefox --new-window:chromium", 1), 0);
    EXPECT_EQ(natives_process::browser_command("/a file"), (V{"firefox", "--new-window", "/a file"}));
    ::unsetenv("BROWSER");
}

}  // namespace
