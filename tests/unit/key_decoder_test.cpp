// The terminal key decoder: what byte sequences become, also when a
// sequence arrives split over several reads.
#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace oru::terminal {
namespace {

// Events written as text: "c:65" a character, "left+c" a key with Ctrl,
// "p:13" a pasted character.
std::string describe(const std::vector<KeyEvent>& keys) {
    static const char* names[] = {"c", "left", "right", "up", "down", "home", "end", "insert", "delete", "eof"};
    std::string out;
    for (const KeyEvent& k : keys) {
        if (!out.empty()) out += ' ';
        if (k.key == Key::character) out += std::string(k.pasted ? "p:" : "c:") + std::to_string(k.ch);
        else out += names[static_cast<int>(k.key)];
        if (k.shift) out += "+s";
        if (k.ctrl) out += "+c";
    }
    return out;
}

// Decodes the bytes whole, then byte by byte: both must agree.
std::string decode(const std::string& bytes, bool pause = false) {
    std::vector<KeyEvent> whole, split;
    KeyDecoder a, b;
    a.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), whole);
    for (char c : bytes) b.feed(reinterpret_cast<const uint8_t*>(&c), 1, split);
    if (pause) a.timeout(whole), b.timeout(split);
    EXPECT_EQ(describe(whole), describe(split)) << "split differently";
    return describe(whole);
}

TEST(KeyDecoder, Sequences) {
    struct Case {
        const char* bytes;
        bool pause;
        const char* want;
    } cases[] = {
        {"a\r", false, "c:97 c:13"},
        {"\x1b[D\x1b[C\x1b[A\x1b[B", false, "left right up down"},
        {"\x1bOH\x1bOF\x1b[H\x1b[F\x1b[1~\x1b[4~", false, "home end home end home end"},
        {"\x1b[1;5D\x1b[1;2C\x1b[1;6A", false, "left+c right+s up+s+c"},
        {"\x1b[2~\x1b[3~\x1b[3;5~", false, "insert delete delete+c"},
        {"\xe4\xb8\xad\xf0\x9f\x98\x80", false, "c:20013 c:128512"},
        {"\xff\xc3(", false, "c:65533 c:65533 c:40"},
        {"\xed\xa0\x80", false, "c:65533"},  // a surrogate is no character
        {"\x1b", false, ""},                  // held until the pause
        {"\x1b", true, "c:27"},
        {"\x1b\x1b", true, "c:27 c:27"},
        {"\x1bx", true, ""},                  // Alt with a key: no binding
        {"\x1b[99;99;99;99;99X\x1b[?25h", false, ""},
        {"\x1b[200~a\r\nb\nc\r\x1b[201~d", false, "p:97 p:13 p:98 p:13 p:99 p:13 c:100"},
        {"\x1b[200~\t\x1b[201~\t", false, "p:9 c:9"},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(c.bytes, c.pause), c.want) << "bytes: " << c.bytes;
}

TEST(KeyDecoder, PauseEndsAnUnfinishedSequence) {
    KeyDecoder d;
    std::vector<KeyEvent> keys;
    d.feed(reinterpret_cast<const uint8_t*>("\x1b[1;"), 4, keys);
    EXPECT_TRUE(d.waiting());
    d.timeout(keys);
    d.feed(reinterpret_cast<const uint8_t*>("D"), 1, keys);
    EXPECT_EQ(describe(keys), "c:68");
}

}  // namespace
}  // namespace oru::terminal
