// libFuzzer target for the decoders of text that comes from outside the
// process: file contents, child output and HTTP bodies (lenient UTF-8, and
// the same split into lines), HTTP response header lines and the header
// block made from them, the OS description made from kernel names and
// os-release text, and the splitting of command lines and environment
// entries.
//
// The first byte picks the decoder; the rest is its input. Beyond "no crash,
// no sanitizer report, no language error", each result is checked against
// what must hold whatever the input:
//   text     every character is a code point (no surrogate, none past
//            U+10FFFF); valid UTF-8 comes back byte for byte; the ASCII bytes
//            of the input come back in order (a bad sequence never swallows
//            the character after it); a leading byte-order mark is dropped
//            only when asked.
//   lines    one string per line feed, plus one for a last line without
//            one; no string holds a line feed.
//   headers  the input's lines go through take_header_line; no name is
//            empty or holds a colon, blank or control character; no value
//            holds a line feed; the header block molds.
//   os       the input split at NUL bytes gives release, version, machine
//            and os-release; the name starts "Linux", the build is not
//            negative.
//   command  arguments hold no double quote; an environment entry's name
//            is never empty and holds the text before the value.
#include "interpreter/stack.h"
#include "io/call.h"
#include "io/http.h"
#include "io/io_support.h"
#include "io/os_info.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/unicode.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace oru;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "io_text_fuzz: %s\n", what);
    std::abort();
}

// The characters of a string cell from its head.
std::vector<u32> chars_of(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    const u32 unit = s->unit();
    std::vector<u32> out;
    for (i64 i = cell::head_index(str); i < s->length(); i++) out.push_back(string::get_char(s->head_ptr() + i * unit, unit));
    return out;
}

// Whether the bytes are well-formed UTF-8 (shortest forms, no surrogates,
// nothing past U+10FFFF).
bool valid_utf8(const u8* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const u8 b = p[i];
        size_t len;
        u32 cp, min;
        if (b < 0x80) { i++; continue; }
        if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; min = 0x10000; }
        else return false;
        if (n - i < len) return false;
        for (size_t k = 1; k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > unicode::max_code_point || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

void text(const u8* p, size_t n, bool skip_bom) {
    Cell* base = stack::top;
    const std::vector<u32> got = chars_of(*io::push_text(p, n, type::string, skip_bom));
    const bool bom = skip_bom && n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF;
    const u8* from = bom ? p + 3 : p;
    const size_t size = bom ? n - 3 : n;
    check(got.size() <= size, "more characters than bytes");
    std::string ascii_in, ascii_out;
    for (size_t i = 0; i < size; i++)
        if (from[i] < 0x80) ascii_in += static_cast<char>(from[i]);
    std::string again;
    for (u32 c : got) {
        check(c <= unicode::max_code_point && (c < 0xD800 || c > 0xDFFF), "not a code point");
        if (c < 0x80) ascii_out += static_cast<char>(c);
        u8 bytes[4];
        again.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(unicode::encode_utf8_char(c, bytes)));
    }
    check(ascii_in == ascii_out, "ASCII lost or made up");
    if (valid_utf8(from, size)) check(again == std::string(reinterpret_cast<const char*>(from), size), "valid UTF-8 changed");
    stack::top = base;
}

void lines(const u8* p, size_t n) {
    Cell* base = stack::top;
    const Cell* blk = io::push_lines(p, n);
    size_t expected = 0;
    for (size_t i = 0; i < n; i++) expected += p[i] == '\n';
    if (n && p[n - 1] != '\n') expected++;
    const i32 count = block::rs_length_q(*blk);
    check(static_cast<size_t>(count) == expected, "wrong line count");
    for (i32 i = 0; i < count; i++)
        for (u32 c : chars_of(*block::rs_abs_at(*blk, cell::head_index(*blk) + i))) check(c != '\n', "line feed in a line");
    stack::top = base;
}

void headers(const u8* p, size_t n) {
    http::HeaderList list;
    const std::string all(reinterpret_cast<const char*>(p), n);
    for (size_t at = 0; at < all.size();) {
        size_t lf = all.find('\n', at);
        lf = lf == std::string::npos ? all.size() : lf + 1;
        http::take_header_line(list, std::string_view(all).substr(at, lf - at));
        at = lf;
    }
    for (const auto& [name, value] : list) {
        check(!name.empty() && name.find(':') == std::string::npos, "bad header name");
        for (const char c : name) check(static_cast<unsigned char>(c) > ' ' && c != 0x7F, "blank or control in a header name");
        check(value.find('\n') == std::string::npos, "line feed in a header value");
    }
    Cell* base = stack::top;
    const Cell* blk = http::push_header_block(list);
    check(block::rs_length_q(*blk) % 2 == 0, "header block not in pairs");
    io::molded(*blk);
    stack::top = base;
}

void os(const u8* p, size_t n) {
    std::string parts[4];
    int k = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] == 0 && k < 3) k++;
        else parts[k] += static_cast<char>(p[i]);
    }
    const os_info::Description d = os_info::describe(os_info::Uname{parts[0], parts[1], parts[2], parts[3]});
    check(d.name.rfind("Linux", 0) == 0, "name without Linux");
    check(d.build >= 0 && d.arch != nullptr, "bad build or arch");
}

void command(const u8* p, size_t n) {
    const std::string line(reinterpret_cast<const char*>(p), n);
    for (const std::string& a : call::split_command(line)) check(a.find('"') == std::string::npos, "quote kept");
    const std::string entry = line.substr(0, line.find('\0'));
    std::string name, value;
    if (os_info::split_entry(entry.c_str(), name, value))
        check(!name.empty() && entry == name + "=" + value, "entry split wrongly");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return -1;  // longer inputs add time, not coverage
    const u8* p = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 6) {
    case 0: text(p, n, false); break;
    case 1: text(p, n, true); break;
    case 2: lines(p, n); break;
    case 3: headers(p, n); break;
    case 4: os(p, n); break;
    default: command(p, n); break;
    }
    static u32 runs = 0;
    if (++runs % 256 == 0) collector::recycle();
    return 0;
}
