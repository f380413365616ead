// The terminal key decoder: see key_decoder.h. Sequences recognised, with
// the modifier parameter m = 1 + Shift + 4 x Ctrl (Alt, 2, is ignored):
//   ESC [ A/B/C/D, ESC [ 1 ; m A/B/C/D   up, down, right, left
//   ESC [ H/F, ESC O H/F, ESC [ 1/7 ~, ESC [ 4/8 ~   home, end
//   ESC [ 2 ~ insert, ESC [ 3 ~ delete (each with "; m")
//   ESC O A/B/C/D   the cursor keys in application mode
//   ESC [ 200 ~ ... ESC [ 201 ~   a bracketed paste
#include "console/key_decoder.h"

namespace oru::terminal {

namespace {
constexpr uint8_t esc = 0x1B;
constexpr char32_t replacement = 0xFFFD;
constexpr unsigned max_param = 100000;
}  // namespace

void KeyDecoder::named(Key k, unsigned modifier, std::vector<KeyEvent>& out) {
    KeyEvent e;
    e.key = k;
    if (modifier >= 2) {
        const unsigned bits = modifier - 1;
        e.shift = bits & 1;
        e.ctrl = bits & 4;
    }
    out.push_back(e);
}

void KeyDecoder::character(char32_t c, std::vector<KeyEvent>& out) {
    KeyEvent e;
    e.ch = c;
    if (paste_) {
        e.pasted = true;
        // Line ends of pasted text: CR, LF and CR LF are one Enter each.
        if (c == '\n' && after_cr_) {
            after_cr_ = false;
            return;
        }
        after_cr_ = c == '\r';
        if (c == '\n') e.ch = '\r';
    }
    out.push_back(e);
}

void KeyDecoder::finish_csi(uint8_t final, std::vector<KeyEvent>& out) {
    state_ = State::ground;
    if (param_overflow_) return;
    const unsigned p0 = param_count_ > 0 ? params_[0] : 0;
    const unsigned m = param_count_ > 1 ? params_[1] : 1;
    switch (final) {
        case 'A': named(Key::up, m, out); return;
        case 'B': named(Key::down, m, out); return;
        case 'C': named(Key::right, m, out); return;
        case 'D': named(Key::left, m, out); return;
        case 'H': named(Key::home, m, out); return;
        case 'F': named(Key::end, m, out); return;
        case '~': break;
        default: return;  // a key this editor has no use for
    }
    switch (p0) {
        case 1: case 7: named(Key::home, m, out); return;
        case 4: case 8: named(Key::end, m, out); return;
        case 2: named(Key::insert, m, out); return;
        case 3: named(Key::delete_, m, out); return;
        case 200: paste_ = true; after_cr_ = false; return;
        case 201: paste_ = false; after_cr_ = false; return;
        default: return;
    }
}

void KeyDecoder::byte(uint8_t b, std::vector<KeyEvent>& out) {
    switch (state_) {
        case State::escape:
            if (b == '[') {
                state_ = State::csi;
                param_count_ = 0;
                param_overflow_ = false;
                return;
            }
            if (b == 'O') {
                state_ = State::ss3;
                return;
            }
            if (b == esc) {  // the first ESC was the Escape key; hold the second
                character(esc, out);
                return;
            }
            // Alt with a key: no binding, dropped.
            state_ = State::ground;
            return;
        case State::ss3:
            state_ = State::ground;
            switch (b) {
                case 'A': named(Key::up, 1, out); return;
                case 'B': named(Key::down, 1, out); return;
                case 'C': named(Key::right, 1, out); return;
                case 'D': named(Key::left, 1, out); return;
                case 'H': named(Key::home, 1, out); return;
                case 'F': named(Key::end, 1, out); return;
                default: return;
            }
        case State::csi:
            if (b >= '0' && b <= '9') {
                if (param_count_ == 0) param_count_ = 1, params_[0] = 0;
                unsigned& p = params_[param_count_ - 1];
                p = p * 10 + (b - '0');
                if (p > max_param) param_overflow_ = true, p = max_param;
                return;
            }
            if (b == ';') {
                if (param_count_ == 0) param_count_ = 1, params_[0] = 0;
                if (param_count_ < 4) params_[param_count_++] = 0;
                else param_overflow_ = true;
                return;
            }
            if (b >= 0x20 && b <= 0x3F) {  // private markers and intermediates
                param_overflow_ = true;
                return;
            }
            if (b >= 0x40 && b <= 0x7E) {
                finish_csi(b, out);
                return;
            }
            // A control byte inside a sequence ends it unfinished.
            state_ = State::ground;
            break;
        case State::ground: break;
    }
    if (b == esc) {
        state_ = State::escape;
        return;
    }
    character(b, out);
}

void KeyDecoder::feed(const uint8_t* bytes, size_t n, std::vector<KeyEvent>& out) {
    for (size_t i = 0; i < n; i++) {
        const uint8_t b = bytes[i];
        if (utf8_need_) {
            if ((b & 0xC0) == 0x80) {
                utf8_ = (utf8_ << 6) | (b & 0x3F);
                if (--utf8_need_ == 0) {
                    const bool bad = utf8_ < utf8_min_ || utf8_ > 0x10FFFF || (utf8_ >= 0xD800 && utf8_ <= 0xDFFF);
                    character(bad ? replacement : utf8_, out);
                }
                continue;
            }
            utf8_need_ = 0;
            character(replacement, out);
        }
        if (b < 0x80 || state_ != State::ground) {
            byte(b, out);
        } else if (b >= 0xC2 && b <= 0xDF) {
            utf8_ = b & 0x1F, utf8_need_ = 1, utf8_min_ = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            utf8_ = b & 0x0F, utf8_need_ = 2, utf8_min_ = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            utf8_ = b & 0x07, utf8_need_ = 3, utf8_min_ = 0x10000;
        } else {
            character(replacement, out);
        }
    }
}

void KeyDecoder::timeout(std::vector<KeyEvent>& out) {
    if (utf8_need_) {
        utf8_need_ = 0;
        character(replacement, out);
    }
    if (state_ == State::escape) character(esc, out);
    // An unfinished sequence after the pause is dropped.
    state_ = State::ground;
}

}  // namespace oru::terminal
