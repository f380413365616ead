// libFuzzer target for the JSON scanner and writer: arbitrary text (1- or
// 2-byte units, chosen by the first byte) is decoded; a failure must report
// a line of at least 1 and positions inside the text, the last line start
// not after the mark. A decoded value is written compact, pretty and as
// ASCII; the compact text must decode again, and write the same text again.
// Language errors (bad surrogate escapes, nesting past the writer's depth)
// are expected; a crash, a sanitizer report or state left behind is a
// finding.
#include "codec_text_fuzz.h"

#include "codecs/json.h"
#include "interpreter/evaluator.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"

using namespace oru;
using fuzz_text::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (size > 8192) return -1;
    const bool wide = data[0] & 1;
    fuzz_text::guarded([&] {
        Cell* text = fuzz_text::push_text(data + 1, size - 1, wide);
        Cell* value = stack::push(none::value);
        json::Failure f;
        if (!json::decode(*text, value, &f)) {
            const i32 len = series::abs_length_q(*text);
            check(f.line >= 1 && f.mark >= 0 && f.mark <= len && f.last_lf >= 0 && f.last_lf <= f.mark);
            return;
        }
        Cell* indent = fuzz_text::push_text(reinterpret_cast<const uint8_t*>("  "), 2, false);
        json::encode(*value, *indent, false);
        json::encode(*value, none::value, true);
        Cell* once = json::encode(*value, none::value, false);
        Cell* again = stack::push(none::value);
        json::Failure g;
        check(json::decode(*once, again, &g));
        Cell* twice = json::encode(*again, none::value, false);
        check(string::compare_strings(*once, *twice, 2, false) == 0);
    });
    interpreter::pending = 0;
    static u32 runs = 0;
    if (++runs % 256 == 0) collector::recycle();
    return 0;
}
