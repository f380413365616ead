// libFuzzer target for the CSV reader and writer. The first byte picks the
// shape (rows, flat, records, columns), /header, /trim, the delimiter (a
// comma, a semicolon, a tab or the two characters "::"), the quote character
// (double quote or apostrophe) and 1- or 2-byte units for the rest of the
// input, the text. Rows read without /header and /trim are written with the
// same delimiter and quote character, and the text must read back to the
// same rows: written again, it gives the same text, and written as bytes,
// that text's UTF-8. An unreadable line must
// be named by a number from 1 to the count of lines of the text. Language errors are
// expected; a crash, a sanitizer report or state left behind is a finding.
#include "codec_text_fuzz.h"

#include "codecs/csv.h"
#include "interpreter/evaluator.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"

#include <cstring>
#include <vector>

using namespace oru;
using fuzz_text::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (size > 8192) return -1;
    const u8 flags = data[0];
    static const char* const shapes[] = {"rows", "flat", "records", "columns"};
    const char* shape = shapes[flags & 3];
    const bool header = flags & 4, trim = flags & 8;
    const u32 qt = flags & 64 ? '\'' : '"';
    const bool wide = flags & 128;
    fuzz_text::guarded([&] {
        Cell* delim = stack::push();
        switch (flags >> 4 & 3) {
            case 0: *delim = char_::make_cell(','); break;
            case 1: *delim = char_::make_cell(';'); break;
            case 2: *delim = char_::make_cell('\t'); break;
            default: *delim = *fuzz_text::push_text(reinterpret_cast<const uint8_t*>("::"), 2, false); break;
        }
        Cell* text = fuzz_text::push_text(data + 1, size - 1, wide);
        Cell* rows = stack::push(none::value);
        const i32 code = csv::decode(*text, *delim, qt, shape, header, trim, false, true, rows);
        check(code <= 0 || code == csv::not_aligned || (header && code == csv::too_small));
        if (code < 0) {
            i32 lines = 1;
            for (size_t i = 1; i < size; i++) lines += data[i] == '\n' || data[i] == '\r';
            check(-code <= lines || wide);
        }
        if (code || (flags & 3) != 0 || header || trim) return;
        Cell* once = csv::encode(*rows, *delim, qt, "blocks", 0, true);
        check(cell::type_of(*once) == type::string);
        Cell* back = stack::push(none::value);
        check(csv::decode(*once, *delim, qt, "rows", false, false, false, true, back) == 0);
        Cell* twice = csv::encode(*back, *delim, qt, "blocks", 0, true);
        check(string::compare_strings(*once, *twice, 2, false) == 0);
        // Written as bytes, the text is its UTF-8.
        Cell* bytes = csv::encode(*rows, *delim, qt, "blocks", 0, true, true);
        std::vector<u8> utf8;
        binary::append_utf8(*once, utf8);
        check(cell::type_of(*bytes) == type::binary && binary::rs_length_q(*bytes) == static_cast<i32>(utf8.size()) &&
              (utf8.empty() || std::memcmp(binary::rs_head(*bytes), utf8.data(), utf8.size()) == 0));
    });
    interpreter::pending = 0;
    static u32 runs = 0;
    if (++runs % 256 == 0) collector::recycle();
    return 0;
}
