// libFuzzer target for the URL percent codec: arbitrary bytes as text.
// Decoding either refuses text that is not UTF-8 or gives code points up to
// U+10FFFF; text without "%" comes back as it is; and the decoded text,
// written as UTF-8 and percent-encoded in either mode, decodes to itself.
#include "codecs/url_text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace oru;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void put_utf8(u32 cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 63));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 63));
        out += static_cast<char>(0x80 | (cp & 63));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 63));
        out += static_cast<char>(0x80 | (cp >> 6 & 63));
        out += static_cast<char>(0x80 | (cp & 63));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<u32> cps;
    if (!url::decode(data, data + size, cps)) return 0;
    std::string text;
    for (u32 cp : cps) {
        check(cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF));
        put_utf8(cp, text);
    }
    if (!std::memchr(data, '%', size)) check(text.size() == size && std::memcmp(text.data(), data, size) == 0);
    for (i32 mode : {url::strict_mode, 255}) {
        std::string encoded;
        url::encode(reinterpret_cast<const u8*>(text.data()), text.size(), mode, encoded);
        std::vector<u32> back;
        const u8* p = reinterpret_cast<const u8*>(encoded.data());
        check(url::decode(p, p + encoded.size(), back));
        check(back == cps);
    }
    return 0;
}
