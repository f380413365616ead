// Percent encoding of text for URLs (enhex).
//
// Each byte of the UTF-8 form is written as it is when the chosen class
// table lets it through, else as "%" and two upper-case hexadecimal digits.
// Two classes: url-safe (letters, digits and ! # $ & ' ( ) * + , - . / : =
// ? @ _ ~), which keeps a URL's delimiters, and url-unreserved (letters,
// digits and - . _ ~), which escapes every reserved character. Bytes from
// 128 up are always escaped. Decoding is url::decode (lexer_values.h).
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::url {

// The mode that selects url-unreserved; any other mode selects url-safe.
constexpr i32 strict_mode = 254;

// True when the byte is written unescaped in the mode.
bool plain_q(u8 byte, i32 mode);

// Appends the percent-encoded form of n UTF-8 bytes to out.
void encode(const u8* bytes, size_t n, i32 mode, std::string& out);

}  // namespace oru::url
