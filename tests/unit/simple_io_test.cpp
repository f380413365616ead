// The file layer: round trips through read and write with /part, /seek,
// /append and /lines; files whose size is only a hint (/proc, a FIFO, an
// endless source); listings, rename, query and delete; the errors. Scripts
// reach these once file! values exist; until then they are driven here.
#include "io/io_support.h"
#include "io/simple_io.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace oru;

namespace {

std::string text_of(const Cell& str) {
    std::string out;
    io::append_utf8(str, out);
    return out;
}

std::string bytes_of(const Cell& bin) {
    return std::string(reinterpret_cast<const char*>(binary::rs_head(bin)), static_cast<size_t>(binary::rs_length_q(bin)));
}

std::vector<std::string> lines_of(const Cell& blk) {
    std::vector<std::string> out;
    for (i32 i = 0; i < block::rs_length_q(blk); i++) out.push_back(text_of(*block::rs_abs_at(blk, cell::head_index(blk) + i)));
    return out;
}

std::string file_contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class SimpleIo : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        char tmpl[] = "/tmp/oru-simple-io-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        stack::mark_native(test::name("test"));
        stack::push(cell::make(type::none));
    }
    void TearDown() override {
        runtime_shutdown();
        const std::string rm = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(rm.c_str()), 0);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A value naming a file or directory, on the data stack.
    Cell* file(const std::string& p, u32 t = type::file) {
        return io::push_text(reinterpret_cast<const u8*>(p.data()), p.size(), t, false);
    }
    Cell* text(const std::string& s) { return file(s, type::string); }
    Cell* bin(const std::string& s) { return binary::load_in(reinterpret_cast<const u8*>(s.data()), static_cast<i32>(s.size()), nullptr); }

    Cell read(const std::string& p, bool binary, bool lines, const Cell* seek = nullptr, const Cell* part = nullptr) {
        return *simple_io::read_file(*file(p), seek, part, binary, lines);
    }
    i64 write(const std::string& p, const Cell& data, bool append = false, bool lines = false,
              const Cell* seek = nullptr, const Cell* part = nullptr) {
        return simple_io::write(file(p), data, seek, part, false, append, lines);
    }

    std::string dir;
};

TEST_F(SimpleIo, TextAndBinaryRoundTripsWithPartSeekAndAppend) {
    const std::string p = path("a.txt");
    EXPECT_EQ(write(p, *text("h\xC3\xA9llo \xE6\x97\xA5")), 10);
    EXPECT_EQ(file_contents(p), "h\xC3\xA9llo \xE6\x97\xA5");
    EXPECT_EQ(text_of(read(p, false, false)), "h\xC3\xA9llo \xE6\x97\xA5");
    EXPECT_EQ(bytes_of(read(p, true, false)), "h\xC3\xA9llo \xE6\x97\xA5");

    const Cell two = cell::integer(2), zero = cell::integer(0), big = cell::integer(1000), four = cell::integer(4);
    struct Case {
        const Cell* seek;
        const Cell* part;
        std::string bytes;
    } cases[] = {
        {nullptr, &two, "h\xC3"},           {nullptr, &zero, ""},
        {nullptr, &big, file_contents(p)},  {&four, &two, "lo"},
        {&big, nullptr, ""},                // past the end: empty, never a negative size
        {&four, nullptr, "lo \xE6\x97\xA5"},
    };
    for (const Case& c : cases) EXPECT_EQ(bytes_of(read(p, true, false, c.seek, c.part)), c.bytes);
    EXPECT_EQ(text_of(read(p, false, false, &big)), "");

    // Writing keeps the rest of the file with /seek, adds with /append,
    // writes at most /part characters or bytes.
    write(p, *text("HE"), false, false, &zero);
    EXPECT_EQ(file_contents(p), "HE\xA9llo \xE6\x97\xA5");
    write(p, *text("0123456789"), false, false, nullptr, &four);
    EXPECT_EQ(file_contents(p), "0123");
    write(p, *bin(std::string("\0\xFF", 2)), true);
    EXPECT_EQ(file_contents(p), std::string("0123\0\xFF", 6));
    write(p, *text("ab"), false, false, &big);
    EXPECT_EQ(file_contents(p).size(), 1002u) << "a seek past the end extends the file";
    // Any other value is molded.
    write(p, *test::load("[1 \"x\"]"));
    EXPECT_EQ(file_contents(p), "[[1 \"x\"]]");

    write(p, *text(""));
    EXPECT_EQ(text_of(read(p, false, false)), "");
    EXPECT_EQ(bytes_of(read(p, true, false)), "");
}

// Long text is encoded a chunk at a time: characters of every width cross
// the chunk boundaries, and /part stops inside a chunk.
TEST_F(SimpleIo, LongTextIsWrittenWhole) {
    const std::string p = path("long.txt");
    std::string utf8;
    for (int i = 0; i < 30000; i++) utf8 += "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80";  // 4 characters, 10 bytes
    EXPECT_EQ(write(p, *text(utf8)), static_cast<i64>(utf8.size()));
    EXPECT_EQ(file_contents(p), utf8);
    EXPECT_EQ(text_of(read(p, false, false)), utf8);
    const Cell part = cell::integer(4 * 20000 + 2);
    write(p, *text(utf8), false, false, nullptr, &part);
    EXPECT_EQ(file_contents(p), utf8.substr(0, 10 * 20000 + 3));
}

TEST_F(SimpleIo, LinesAreWrittenWithCrLfAndReadWithout) {
    const std::string p = path("lines.txt");
    write(p, *test::load("\"one\" \"two\" 3"), false, true);
    EXPECT_EQ(file_contents(p), "one\r\ntwo\r\n3\r\n");
    write(p, *text("four"), true, true);
    EXPECT_EQ(file_contents(p), "one\r\ntwo\r\n3\r\nfour\r\n");
    EXPECT_EQ(lines_of(read(p, false, true)), (std::vector<std::string>{"one", "two", "3", "four"}));

    struct Case {
        std::string bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\nb", {"a", "b"}}, {"a\n\n", {"a", ""}}, {"", {}}, {"\n", {""}}, {"x\ry\n", {"x\ry"}},
    };
    for (const Case& c : cases) {
        std::ofstream(p, std::ios::binary) << c.bytes;
        EXPECT_EQ(lines_of(read(p, false, true)), c.lines) << c.bytes;
    }
}

TEST_F(SimpleIo, SizesAreOnlyAHint) {
    // /proc files report size 0; the whole text is read all the same.
    const std::string status = text_of(read("/proc/self/status", false, false));
    EXPECT_EQ(status.rfind("Name:", 0), 0u);
    EXPECT_NE(status.find("VmRSS"), std::string::npos) << "read to the end, not to a chunk";

    // A FIFO is read to its end, however the writer splits its output.
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string payload(300000, 'q');
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        for (size_t at = 0; at < payload.size(); at += 7000)
            ASSERT_TRUE(io::write_all(fd, payload.data() + at, std::min<size_t>(7000, payload.size() - at)));
        ::close(fd);
    });
    const Cell two = cell::integer(2);
    EXPECT_EQ(bytes_of(read(fifo, true, false, &two)), payload.substr(2)) << "a pipe cannot seek: skipped by reading";
    writer.join();

    // An endless source stops at the largest value, with no-memory.
    const auto error = test::error_of([] { simple_io::read_data("/dev/zero", -1, -1, true, false, 1 << 20); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, ErrorId::internal_no_memory);
    // /part bounds it.
    EXPECT_EQ(binary::rs_length_q(*simple_io::read_data("/dev/zero", 5000, -1, true, false)), 5000);
}

TEST_F(SimpleIo, ListingsRenameQueryDelete) {
    ASSERT_EQ(::mkdir(path("sub").c_str(), 0700), 0);
    std::ofstream(path("f.txt")) << "x";
    ASSERT_EQ(::symlink(path("sub").c_str(), path("link").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", path("dangling").c_str()), 0);
    for (const std::string& name : {dir + "/", dir + "/.", dir + "/sub/.."}) {
        const Cell listing = read(name, false, false);
        std::set<std::string> names;
        for (i32 i = 0; i < block::rs_length_q(listing); i++) {
            const Cell* v = block::rs_abs_at(listing, i);
            EXPECT_EQ(cell::type_of(*v), type::file);
            names.insert(text_of(*v));
        }
        EXPECT_EQ(names, (std::set<std::string>{"sub/", "f.txt", "link/", "dangling"})) << name;
    }
    EXPECT_GT(block::rs_length_q(read("/", false, false)), 3) << "the root lists its directories";

    // Rename refuses an existing target.
    std::ofstream(path("g.txt")) << "y";
    EXPECT_FALSE(simple_io::rename(*file(path("f.txt")), *file(path("g.txt"))));
    EXPECT_EQ(file_contents(path("g.txt")), "y");
    EXPECT_TRUE(simple_io::rename(*file(path("f.txt")), *file(path("h.txt"))));
    EXPECT_EQ(file_contents(path("h.txt")), "x");
    EXPECT_FALSE(simple_io::rename(*file(path("f.txt")), *file(path("i.txt"))));

    // Query: the last write, in UTC, to the millisecond.
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};  // 2023-11-14 22:13:20.123
    ASSERT_EQ(::utimensat(AT_FDCWD, path("h.txt").c_str(), times, 0), 0);
    const Cell when = simple_io::query(*file(path("h.txt")));
    ASSERT_EQ(cell::type_of(when), type::date);
    EXPECT_EQ(date::to_epoch(when), 1700000000);
    EXPECT_DOUBLE_EQ(date::time_of(when), 22 * 3600 + 13 * 60 + 20.123);
    EXPECT_EQ(date::zone_of(when.data1), 0u);
    EXPECT_EQ(cell::type_of(simple_io::query(*file(path("h.txt/")))), type::none) << "a file named as a directory";
    EXPECT_EQ(cell::type_of(simple_io::query(*file(path("sub/")))), type::date);
    EXPECT_EQ(cell::type_of(simple_io::query(*file(path("missing")))), type::none);

    // Delete: files, empty directories (named either way), nothing else.
    EXPECT_TRUE(simple_io::delete_(*file(path("h.txt"))));
    EXPECT_FALSE(simple_io::delete_(*file(path("h.txt"))));
    EXPECT_FALSE(simple_io::delete_(*file(path("."))));
    ASSERT_EQ(::mkdir(path("sub/inner").c_str(), 0700), 0);
    EXPECT_FALSE(simple_io::delete_(*file(path("sub/")))) << "not empty";
    EXPECT_TRUE(simple_io::delete_(*file(path("sub/inner"))));
    EXPECT_TRUE(simple_io::delete_(*file(path("sub/"))));

    EXPECT_TRUE(simple_io::make_dir(path("made").c_str()));
    EXPECT_FALSE(simple_io::make_dir(path("made").c_str()));
    EXPECT_TRUE(simple_io::file_exists_q(path("made").c_str()));
    EXPECT_FALSE(simple_io::file_exists_q(path("nothing").c_str()));
    EXPECT_EQ(simple_io::file_size(path("g.txt").c_str()), 1);
    EXPECT_EQ(simple_io::file_size(path("made").c_str()), -1);
}

TEST_F(SimpleIo, ErrorsNameTheFileOrTheRefinement) {
    std::ofstream(path("f")) << "data";
    const Cell minus = cell::integer(-1), word = test::name("x");
    struct Case {
        const char* what;
        std::function<void()> run;
        ErrorId id;
    } cases[] = {
        {"read of a missing file", [&] { read(path("missing"), false, false); }, ErrorId::access_cannot_open},
        {"listing a missing directory", [&] { read(path("missing/"), false, false); }, ErrorId::access_cannot_open},
        {"read of an empty name", [&] { read("", false, false); }, ErrorId::access_cannot_open},
        {"write into a missing directory", [&] { write(path("missing/f"), *text("x")); }, ErrorId::access_cannot_open},
        {"write to a directory", [&] { write(dir, *text("x")); }, ErrorId::access_cannot_open},
        {"write to a full device", [&] { write("/dev/full", *text("x")); }, ErrorId::access_cannot_open},
        {"negative read /seek", [&] { read(path("f"), false, false, &minus); }, ErrorId::script_invalid_refine_arg},
        {"negative write /seek", [&] { write(path("f"), *text("x"), false, false, &minus); },
         ErrorId::script_invalid_refine_arg},
        {"a /seek that is no integer", [&] { read(path("f"), false, false, &word); }, ErrorId::script_invalid_refine_arg},
        {"a /part that is no integer", [&] { write(path("f"), *text("x"), false, false, nullptr, &word); },
         ErrorId::script_invalid_refine_arg},
    };
    for (const Case& c : cases) {
        const auto id = test::error_of(c.run);
        ASSERT_TRUE(id) << c.what;
        EXPECT_EQ(*id, c.id) << c.what;
    }
    EXPECT_EQ(file_contents(path("f")), "data") << "a refused write leaves the file";
    // Standard output counts its bytes too.
    EXPECT_EQ(simple_io::write(nullptr, *text(""), nullptr, nullptr, false, false, false), 0);
}

TEST(SimpleIoNames, DirectoryNames) {
    struct Case {
        const char* name;
        bool dir;
    } cases[] = {
        {"a/", true},  {"a\\", true}, {".", true},      {"..", true},   {"a/.", true}, {"a/..", true},
        {"a", false},  {"a.", false}, {"a/b..", false}, {".a", false},  {"", false},   {"/", true},
    };
    for (const Case& c : cases) EXPECT_EQ(simple_io::dir_name_q(std::string(c.name)), c.dir) << c.name;
}

// Lenient decoding of OS text: every bad sequence is one U+FFFD and the
// text around it survives; the width follows the widest character.
TEST(IoText, LenientUtf8) {
    runtime_init();
    struct Case {
        std::string bytes;
        std::u32string chars;
    } cases[] = {
        {"plain", U"plain"},
        {"\xEF\xBB\xBFx", U"x"},                      // byte-order mark skipped
        {"a\xFF" "b", U"a\xFFFD" "b"},
        {"\xE2\x28\xA1", U"\xFFFD(\xFFFD"},           // the rejecting byte starts again
        {"\xC3", U"\xFFFD"},                          // cut off by the end
        {"\xE6\x97", U"\xFFFD"},
        {"\xC3\xA9\xF0\x9F\x98\x80", U"\xE9\x1F600"},  // 4-byte units
        {"\xED\xA0\x80", U"\xFFFD\xFFFD\xFFFD"},        // a surrogate is no character
    };
    stack::mark_native(test::name("test"));
    for (const Case& c : cases) {
        const Cell* s = io::push_text(reinterpret_cast<const u8*>(c.bytes.data()), c.bytes.size());
        SeriesBuffer* b = memory::buffer(cell::node(*s));
        std::u32string got;
        for (u32 i = 0; i < b->length(); i++) got.push_back(string::get_char(b->head_ptr() + i * b->unit(), b->unit()));
        EXPECT_EQ(test::utf8(got), test::utf8(c.chars)) << c.bytes;
    }
    runtime_shutdown();
}

}  // namespace
