// Console output: UTF-8 encoding of code units, the write chunking, the
// print hooks, the SGR attribute model and the escape interpreter.
#include "runtime/console.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

using namespace oru;

namespace {

// Captures everything the console writes while it is alive. With `packets`
// the output goes to a sequenced-packet socket, so each write(2) arrives as
// one packet and the chunking can be checked.
class Capture {
public:
    explicit Capture(bool packets = false) : packets_(packets) {
        int fds[2];
        int rc = packets ? socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) : pipe(fds);
        EXPECT_EQ(rc, 0);
        read_fd_ = fds[0];
        write_fd_ = fds[1];
        console::set_output_fd(write_fd_);
    }
    ~Capture() {
        finish();
        close(read_fd_);
    }
    // Stops capturing and returns the writes, one string each (one string in
    // all for a pipe).
    std::vector<std::string> chunks() {
        finish();
        std::vector<std::string> out;
        char buf[8192];
        for (;;) {
            ssize_t n = read(read_fd_, buf, sizeof buf);
            if (n <= 0) break;
            out.emplace_back(buf, static_cast<size_t>(n));
        }
        return out;
    }
    std::string text() {
        std::string all;
        for (const std::string& c : chunks()) all += c;
        return all;
    }

private:
    void finish() {
        if (write_fd_ < 0) return;
        console::set_output_fd(1);
        close(write_fd_);
        write_fd_ = -1;
    }
    bool packets_;
    int read_fd_ = -1;
    int write_fd_ = -1;
};

std::string capture_units(const void* p, i32 bytes, u32 unit, bool new_line) {
    Capture cap;
    console::print_units(p, bytes, unit, new_line);
    return cap.text();
}

std::vector<std::string> hook_log;

void text_hook_a(const char* text, int length, bool) { hook_log.push_back("A:" + std::string(text, static_cast<size_t>(length))); }
void text_hook_b(const char* text, int length, bool) { hook_log.push_back("B:" + std::string(text, static_cast<size_t>(length))); }
void value_hook_a(const Cell* v, bool new_line) { hook_log.push_back("va" + std::to_string(cell::type_of(*v)) + (new_line ? "n" : "")); }
void value_hook_b(const Cell* v, bool) { hook_log.push_back("vb" + std::to_string(cell::type_of(*v))); }

}  // namespace

TEST(Console, CodeUnitsAreWrittenAsUtf8) {
    const u8 latin1[] = {'a', 0xE9, 0xFF};
    const u16 ucs2[] = {0x20AC, 'A', 0x7FF};
    const u32 ucs4[] = {0x1F600, 0x10FFFF, 'z'};
    // Values no string holds still print, as U+FFFD, instead of raising.
    const u16 lone_surrogate[] = {0xD800, 'x'};
    const u32 beyond[] = {0x110000, 0xFFFFFFFF};
    struct Case {
        const void* p;
        i32 bytes;
        u32 unit;
        bool new_line;
        std::string expected;
    } cases[] = {
        {latin1, 3, 1, false, "a\xC3\xA9\xC3\xBF"},
        {ucs2, 6, 2, false, "\xE2\x82\xAC" "A\xDF\xBF"},
        {ucs4, 12, 4, true, "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBFz\n"},
        {ucs2, 0, 2, true, "\n"},
        {ucs2, 5, 2, false, "\xE2\x82\xAC" "A"},  // a partial unit is not printed
        {lone_surrogate, 4, 2, false, "\xEF\xBF\xBDx"},
        {beyond, 8, 4, false, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(capture_units(c.p, c.bytes, c.unit, c.new_line), c.expected) << "unit " << c.unit << " bytes " << c.bytes;
}

TEST(Console, LongTextIsWrittenInChunksAboveTheThreshold) {
    // 2000 three-byte and four-byte characters; each write but the last holds
    // more than 1020 bytes and never more than the 1024-byte buffer.
    struct Case {
        u32 unit;
        u32 cp;
        std::string utf8;
    } cases[] = {{2, 0x20AC, "\xE2\x82\xAC"}, {4, 0x1F600, "\xF0\x9F\x98\x80"}, {1, 'x', "x"}};
    for (const Case& c : cases) {
        std::vector<u8> units(2000 * c.unit);
        for (size_t i = 0; i < 2000; ++i) std::memcpy(&units[i * c.unit], &c.cp, c.unit);
        Capture cap(true);
        console::print_units(units.data(), static_cast<i32>(units.size()), c.unit, true);
        std::vector<std::string> chunks = cap.chunks();
        std::string expected;
        for (int i = 0; i < 2000; ++i) expected += c.utf8;
        expected += "\n";
        std::string all;
        ASSERT_GE(chunks.size(), 2u);
        for (size_t i = 0; i < chunks.size(); ++i) {
            all += chunks[i];
            EXPECT_LE(chunks[i].size(), 1024u);
            if (i + 1 < chunks.size()) {
                EXPECT_GT(chunks[i].size(), 1020u) << "chunk " << i;
            }
        }
        EXPECT_EQ(all, expected) << "unit " << c.unit;
    }
}

TEST(Console, FormattedPrintsReachOutputAndTextHooks) {
    hook_log.clear();
    dyn_print::add(nullptr, text_hook_a);
    std::string out;
    {
        Capture cap;
        console::print_integer(-42);
        console::print_byte_hex(0x0A);
        console::print_hex(0xBEEF);
        console::print_float(0.1);
        console::print_float32(0.1f);
        console::print_char(0xE9);
        const u16 wide[] = {'w', 0xD83D, 0xDE00, 0xDC00, 0};  // a pair, then a lone low surrogate
        console::print_wide(wide);
        console::print_text("t\xC3\xA9xt");
        out = cap.text();
    }
    dyn_print::remove(nullptr, text_hook_a);
    EXPECT_EQ(out, "-420A0000BEEF0.10.1\xC3\xA9w\xF0\x9F\x98\x80\xEF\xBF\xBDt\xC3\xA9xt");
    std::vector<std::string> expected = {"A:-42", "A:0A", "A:0000BEEF", "A:0.1", "A:0.1", "A:\xC3\xA9",
                                         "A:w\xF0\x9F\x98\x80\xEF\xBF\xBD", "A:t\xC3\xA9xt"};
    EXPECT_EQ(hook_log, expected);
}

TEST(Console, HookAddedTwiceIsCalledTwiceAndRemovalTakesTheFirst) {
    hook_log.clear();
    dyn_print::init();
    int values = dyn_print::value_hook_count(), texts = dyn_print::text_hook_count();
    dyn_print::add(value_hook_a, text_hook_a);
    dyn_print::add(value_hook_b, text_hook_b);
    dyn_print::add(value_hook_a, text_hook_a);
    Cell s = cell::make(type::string);
    dyn_print::call_value_hooks(&s, true);
    dyn_print::call_text_hooks("x", 1, false);
    EXPECT_EQ(hook_log, (std::vector<std::string>{"va7n", "vb7", "va7n", "A:x", "B:x", "A:x"}));

    hook_log.clear();
    dyn_print::remove(value_hook_a, text_hook_a);
    dyn_print::call_value_hooks(&s, false);
    dyn_print::call_text_hooks("y", 1, false);
    EXPECT_EQ(hook_log, (std::vector<std::string>{"vb7", "va7", "B:y", "A:y"}));

    dyn_print::remove(value_hook_a, text_hook_a);
    dyn_print::remove(value_hook_b, text_hook_b);
    dyn_print::remove(value_hook_b, text_hook_b);  // absent: nothing happens
    EXPECT_EQ(dyn_print::value_hook_count(), values);
    EXPECT_EQ(dyn_print::text_hook_count(), texts);
}

TEST(Console, HookListsGrowPastTheirCapacity) {
    hook_log.clear();
    for (int i = 0; i < 12; ++i) dyn_print::add(nullptr, i % 2 ? text_hook_b : text_hook_a);
    dyn_print::call_text_hooks("g", 1, false);
    ASSERT_EQ(hook_log.size(), 12u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(hook_log[static_cast<size_t>(i)], i % 2 ? "B:g" : "A:g");
    for (int i = 0; i < 12; ++i) dyn_print::remove(nullptr, i % 2 ? text_hook_b : text_hook_a);
    EXPECT_EQ(dyn_print::text_hook_count(), 0);
}

TEST(Console, NoHooksAndNoOutputIsQuiet) {
    ASSERT_EQ(dyn_print::text_hook_count(), 0);
    console::set_output_fd(-1);
    const u16 text[] = {'q', 0x20AC};
    console::print_units(text, 4, 2, true);
    console::print_text("nothing to see");
    console::print_wide(text, 2);
    console::print_integer(7);
    dyn_print::call_text_hooks("z", 1, true);
    EXPECT_EQ(console::output_fd(), -1);
    EXPECT_FALSE(console::is_console());
    console::set_output_fd(1);
}

TEST(Console, SgrTable) {
    constexpr u16 defaults = 0x1E;
    struct Case {
        u16 before;
        u32 code;
        u16 after;
    } cases[] = {
        {0x8FF7, 0, defaults},
        {0x0007, 1, 0x008F},
        {0x0007, 4, 0x8007},
        {0x001E, 7, 0x00E1},
        {0x8012, 7, 0x8021},
        // Foreground: the low 3 bits replaced, intensity kept.
        {0x00F8, 30, 0x00F8}, {0x00F8, 31, 0x00FC}, {0x00F8, 32, 0x00FA}, {0x00F8, 33, 0x00FE},
        {0x00F8, 34, 0x00F9}, {0x00F8, 35, 0x00FD}, {0x00F8, 36, 0x00FB}, {0x00F8, 37, 0x00FF},
        {0x0007, 39, 0x000F},
        // Background: bits 4-6 replaced, intensity kept.
        {0x80F7, 40, 0x8087}, {0x80F7, 41, 0x80C7}, {0x80F7, 42, 0x80A7}, {0x80F7, 43, 0x80E7},
        {0x80F7, 44, 0x8097}, {0x80F7, 45, 0x80D7}, {0x80F7, 46, 0x80B7}, {0x80F7, 47, 0x80F7},
        {0x0007, 49, 0x0087},
        // Everything else leaves the attributes alone.
        {0x1234, 2, 0x1234}, {0x1234, 29, 0x1234}, {0x1234, 38, 0x1234}, {0x1234, 48, 0x1234},
        {0x1234, 50, 0x1234}, {0x1234, 65534, 0x1234},
    };
    for (const Case& c : cases) EXPECT_EQ(console::sgr(c.before, c.code, defaults), c.after) << "code " << c.code;
}

TEST(Console, EscapeSequencesAreNormalizedOnATerminal) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"a\x1b[31mred", "a\x1b[31mred"},
        {"\x1b[0031;001m", "\x1b[31;1m"},
        {"\x1b[m", "\x1b[0m"},
        {"\x1b[65536A", "\x1b[1A"},        // parameters are kept modulo 65535
        {"\x1b[65535B\x1b[A", ""},          // a move by 0 does nothing
        {"\x1b[3C\x1b[12D", "\x1b[3C\x1b[12D"},
        {"\x1b[5;10f", "\x1b[5;10H"},
        {"\x1b[H\x1b[;7H", "\x1b[H\x1b[0;7H"},
        {"\x1b[J\x1b[1J\x1b[2J\x1b[3J", "\x1b[0J\x1b[1J\x1b[2J"},
        {"\x1b[K\x1b[2K\x1b[9K", "\x1b[0K\x1b[2K"},
        {"\x1b[s\x1b[7u", "\x1b[s\x1b[u"},
        // Not handled here: passed on untouched for the terminal to interpret.
        {"\x1b[1;2;3m", "\x1b[1;2;3m"},
        {"\x1b(B\x1b[5x", "\x1b(B\x1b[5x"},
        {"\x1b[31", "\x1b[31"},
        {"\x1b", "\x1b"},
    };
    for (const Case& c : cases) {
        Capture cap;
        console::set_console_flag(true);
        console::print_units(c.in.data(), static_cast<i32>(c.in.size()), 1, false);
        EXPECT_EQ(cap.text(), c.out) << c.in.substr(1);
    }
    // The same through 2- and 4-byte units and print_text.
    const u16 wide[] = {0x20AC, 27, '[', '0', '4', ';', '4', '4', 'm', 0x20AC};
    const u32 wider[] = {27, '[', '1', 'A', 0x1F600};
    Capture cap;
    console::set_console_flag(true);
    console::print_units(wide, sizeof wide, 2, false);
    console::print_units(wider, sizeof wider, 4, true);
    console::print_text("\x1b[2Jt");
    EXPECT_EQ(cap.text(), "\xE2\x82\xAC\x1b[4;44m\xE2\x82\xAC\x1b[1A\xF0\x9F\x98\x80\n\x1b[2Jt");
    console::set_attributes(console::saved_attributes());
}

TEST(Console, SgrSequencesTrackTheAttributes) {
    console::set_attributes(0x07);
    console::save_attributes();
    Capture cap;
    console::set_console_flag(true);
    console::print_text("\x1b[31mred");
    EXPECT_EQ(console::attributes(), 0x04);
    console::print_text("\x1b[1;44m");
    EXPECT_EQ(console::attributes(), 0x9C);
    console::print_text("\x1b[7m");
    EXPECT_EQ(console::attributes(), 0xC9);
    console::print_text("\x1b[0mplain");
    EXPECT_EQ(console::attributes(), 0x07);
    EXPECT_EQ(cap.text(), "\x1b[31mred\x1b[1;44m\x1b[7m\x1b[0mplain");
}

TEST(Console, QuestionMarkPrintsTheBufferInformation) {
    Capture cap;
    console::set_console_flag(true);
    console::print_text("<\x1b[?>");
    std::string out = cap.text();
    const char* labels[] = {"   size______ ", "   cursor____ ", "   attribute_ ", " top: ",
                            "   left______ ", " bottom: ",       "   right_____ ", "   max_______ "};
    ASSERT_EQ(out.front(), '<');
    ASSERT_EQ(out.back(), '>');
    size_t at = 1;
    for (const char* label : labels) {
        ASSERT_EQ(out.compare(at, std::strlen(label), label), 0) << label << " in " << out;
        at = out.find('\n', at) + 1;
    }
    EXPECT_EQ(at, out.size() - 1);
}

TEST(ConsoleDeathTest, UnitSizeOtherThan124IsRuntimeError101) {
    const u8 text[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    for (u32 unit : {0u, 3u, 8u, 16u}) {
        EXPECT_EXIT(console::print_units(text, 8, unit, false), ::testing::ExitedWithCode(101),
                    "\\*\\*\\* Runtime Error 101")
            << "unit " << unit;
    }
}
