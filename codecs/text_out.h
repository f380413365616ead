// A text being written by the JSON and CSV writers, outside the series
// frames: code points kept as UTF-8 in the plain bit layout (surrogates
// included, so every code point comes back as it went in), made into a
// string! of the narrowest unit once, at the end. Nothing here allocates in
// the series frames until `finish`.
#pragma once

#include "runtime/cell.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace oru {

class TextOut {
public:
    TextOut() = default;
    ~TextOut() { std::free(data_); }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    void put(u32 cp) {
        char* d = room(4);
        size_ = static_cast<size_t>(encode(d, cp) - data_);
        chars_++;
        widest_ = std::max(widest_, cp);
    }
    // Appends count characters stored unit bytes each, in one step.
    void units(const u8* p, u32 unit, i32 count) {
        char* d = room(static_cast<size_t>(count) * (unit == 1 ? 2 : 4));
        u32 widest = widest_;
        if (unit == 1) {
            for (i32 i = 0; i < count; i++) {
                const u8 b = p[i];
                if (b < 0x80) {
                    *d++ = static_cast<char>(b);
                } else {
                    d = encode(d, b);
                    widest = std::max<u32>(widest, b);
                }
            }
        } else {
            for (i32 i = 0; i < count; i++, p += unit) {
                u32 cp;
                if (unit == 2) {
                    u16 v;
                    std::memcpy(&v, p, 2);
                    cp = v;
                } else {
                    std::memcpy(&cp, p, 4);
                }
                widest = std::max(widest, cp);
                d = encode(d, cp);
            }
        }
        size_ = static_cast<size_t>(d - data_);
        chars_ += static_cast<size_t>(count);
        widest_ = widest;
    }
    void ascii(char c) {
        *room(1) = c;
        size_++;
        chars_++;
    }
    void ascii(const char* text) { ascii_bytes(text, std::strlen(text)); }
    void ascii(const std::string& text) { ascii_bytes(text.data(), text.size()); }
    void append(const TextOut& other) {
        if (other.size_ == 0) return;
        std::memcpy(room(other.size_), other.data_, other.size_);
        size_ += other.size_;
        chars_ += other.chars_;
        widest_ = std::max(widest_, other.widest_);
    }
    void clear() { size_ = chars_ = 0; widest_ = 0; }
    // The bytes written so far.
    const u8* bytes() const { return reinterpret_cast<const u8*>(data_); }
    i32 byte_count() const { return static_cast<i32>(size_); }
    size_t byte_size() const { return size_; }
    bool empty() const { return size_ == 0; }

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
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
    size_t chars_ = 0;  // code points written
    u32 widest_ = 0;    // the largest of them

    // The address where n more bytes fit; the buffer grows by half again.
    char* room(size_t n) {
        if (size_ + n > cap_) {
            cap_ = std::max(size_ + n, cap_ + cap_ / 2 + 256);
            char* grown = static_cast<char*>(std::realloc(data_, cap_));
            if (!grown) std::abort();
            data_ = grown;
        }
        return data_ + size_;
    }
    void ascii_bytes(const char* p, size_t n) {
        if (n == 0) return;
        std::memcpy(room(n), p, n);
        size_ += n;
        chars_ += n;
    }
    // Writes the code point at d in the plain UTF-8 bit layout (4 bytes of
    // room needed); returns the address after it.
    static char* encode(char* d, u32 cp) {
        if (cp < 0x80) {
            *d++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *d++ = static_cast<char>(0xC0 | cp >> 6);
            *d++ = static_cast<char>(0x80 | (cp & 63));
        } else if (cp < 0x10000) {
            *d++ = static_cast<char>(0xE0 | cp >> 12);
            *d++ = static_cast<char>(0x80 | (cp >> 6 & 63));
            *d++ = static_cast<char>(0x80 | (cp & 63));
        } else {
            *d++ = static_cast<char>(0xF0 | (cp >> 18 & 7));
            *d++ = static_cast<char>(0x80 | (cp >> 12 & 63));
            *d++ = static_cast<char>(0x80 | (cp >> 6 & 63));
            *d++ = static_cast<char>(0x80 | (cp & 63));
        }
        return d;
    }
};

}  // namespace oru
