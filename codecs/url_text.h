// The URL percent codec: the two byte classes, encoding and decoding.
//
// Each byte of the UTF-8 form is written as it is when the chosen class
// lets it through, else as "%" and two upper-case hexadecimal digits. Two
// classes, each a 128-entry table (255: written as is, 0: escaped; every
// byte from 128 up is escaped): url-safe (letters, digits and ! # $ & ' ( )
// * + , - . / : = ? @ _ ~), which keeps a URL's delimiters and is what mold
// uses, and url-unreserved (letters, digits and - . _ ~), which escapes
// every reserved character. Decoding turns "%XX" escapes back into
// characters; the lexer decodes URL and file literals with it, dehex too.
#pragma once

#include "runtime/cell.h"

#include <string>
#include <vector>

namespace oru::url {

// The mode that selects url-unreserved; any other mode selects url-safe.
constexpr i32 strict_mode = 254;

extern const u8 url_safe[128];
extern const u8 url_unreserved[128];

// True when the byte is written unescaped in the mode.
inline bool plain_q(u8 byte, i32 mode) {
    return byte < 128 && (mode == strict_mode ? url_unreserved : url_safe)[byte] == 255;
}

// Appends the percent-encoded form of n UTF-8 bytes to out.
void encode(const u8* bytes, size_t n, i32 mode, std::string& out);

// Percent decoding of UTF-8 text into code points. "%XX" gives the byte XX
// as a code point, unless XX leads a multi-byte UTF-8 sequence whose other
// bytes follow as escapes: a valid escaped sequence gives its one character;
// an invalid one gives the lead byte alone and decoding goes on at the next
// escape, so nothing after it is lost. Anything else, an incomplete escape
// included, is decoded as it stands. False when the text itself is not
// valid UTF-8.
bool decode(const u8* p, const u8* e, std::vector<u32>& out);

}  // namespace oru::url
