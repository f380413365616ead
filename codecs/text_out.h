// A text being written by the JSON and CSV writers, outside the series
// frames: code points kept as UTF-8 in the plain bit layout (surrogates
// included, so every code point comes back as it went in), made into a
// string! of the narrowest unit once, at the end. Nothing here allocates in
// the series frames until `finish`.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru {

class TextOut {
public:
    void put(u32 cp) {
        if (cp < 0x80) {
            bytes_ += static_cast<char>(cp);
        } else if (cp < 0x800) {
            bytes_ += static_cast<char>(0xC0 | cp >> 6);
            bytes_ += static_cast<char>(0x80 | (cp & 63));
        } else if (cp < 0x10000) {
            bytes_ += static_cast<char>(0xE0 | cp >> 12);
            bytes_ += static_cast<char>(0x80 | (cp >> 6 & 63));
            bytes_ += static_cast<char>(0x80 | (cp & 63));
        } else {
            bytes_ += static_cast<char>(0xF0 | (cp >> 18 & 7));
            bytes_ += static_cast<char>(0x80 | (cp >> 12 & 63));
            bytes_ += static_cast<char>(0x80 | (cp >> 6 & 63));
            bytes_ += static_cast<char>(0x80 | (cp & 63));
        }
    }
    void ascii(char c) { bytes_ += c; }
    void ascii(const char* text) { bytes_ += text; }
    void ascii(const std::string& text) { bytes_ += text; }
    void append(const TextOut& other) { bytes_ += other.bytes_; }
    void clear() { bytes_.clear(); }
    bool empty() const { return bytes_.empty(); }

    // Reads one code point written by put.
    static const u8* next(const u8* q, u32* c) {
        const u8 b = *q;
        if (b < 0x80) {
            *c = b;
            return q + 1;
        }
        if (b < 0xE0) {
            *c = (b & 31u) << 6 | (q[1] & 63u);
            return q + 2;
        }
        if (b < 0xF0) {
            *c = (b & 15u) << 12 | (q[1] & 63u) << 6 | (q[2] & 63u);
            return q + 3;
        }
        *c = (b & 7u) << 18 | (q[1] & 63u) << 12 | (q[2] & 63u) << 6 | (q[3] & 63u);
        return q + 4;
    }

    // Pushes the new string! and returns its stack cell.
    Cell* finish() const;

private:
    std::string bytes_;
};

}  // namespace oru
