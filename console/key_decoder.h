// Decoding of the bytes a terminal sends for key presses into key events.
//
// The decoder is a pure state machine over a byte stream: UTF-8 sequences
// become characters, control bytes stay characters (Enter is 13, Tab 9,
// Ctrl+A 1 ...), and the escape sequences of cursor and editing keys become
// named keys with their Shift and Ctrl modifiers. A lone ESC is held until
// more bytes arrive or the caller reports that 50 ms passed (`timeout`):
// then it is the Escape key. Between "ESC [ 200 ~" and "ESC [ 201 ~" the
// bytes are a bracketed paste: characters arrive marked `pasted`, and line
// ends (CR, LF or CR LF) become Enter. Malformed input never stops the
// stream: an invalid UTF-8 byte becomes U+FFFD, an unknown sequence is
// dropped whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace oru::terminal {

enum class Key : uint8_t { character, left, right, up, down, home, end, insert, delete_, end_of_input };

struct KeyEvent {
    Key key = Key::character;
    char32_t ch = 0;      // the character (control codes included) for Key::character
    bool shift = false;
    bool ctrl = false;
    bool pasted = false;  // part of a bracketed paste
};

class KeyDecoder {
public:
    // Decodes n bytes, appending the complete key events to `out`.
    void feed(const uint8_t* bytes, size_t n, std::vector<KeyEvent>& out);
    // The caller's 50 ms passed with no byte: a held lone ESC is Escape.
    void timeout(std::vector<KeyEvent>& out);
    // True while an ESC or an unfinished sequence waits for more bytes.
    bool waiting() const { return state_ != State::ground || utf8_need_ != 0; }
    bool in_paste() const { return paste_; }

private:
    enum class State : uint8_t { ground, escape, csi, ss3 };
    void byte(uint8_t b, std::vector<KeyEvent>& out);
    void character(char32_t c, std::vector<KeyEvent>& out);
    void finish_csi(uint8_t final, std::vector<KeyEvent>& out);
    void named(Key k, unsigned modifier, std::vector<KeyEvent>& out);

    State state_ = State::ground;
    bool paste_ = false;
    bool after_cr_ = false;       // a pasted CR was just turned into Enter
    char32_t utf8_ = 0;
    int utf8_need_ = 0;
    char32_t utf8_min_ = 0;
    unsigned params_[4] = {};
    int param_count_ = 0;
    bool param_overflow_ = false;
};

}  // namespace oru::terminal
