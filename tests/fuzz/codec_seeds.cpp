// Writes the seed corpora of orubin_fuzz and lz_fuzz from the lexer's
// corpus: each source file loaded and written as a compact and a fixed
// document, all of them together once more compressed, a few values that
// only evaluation makes (objects, functions, errors, shared series), and the
// LZ streams of those documents. Run by hand when the formats change:
//   codec_seeds LEXER-CORPUS-DIR ORUBIN-DIR LZ-DIR
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "codecs/lz.h"
#include "codecs/orubin.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace oru;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<u8>;

Bytes bytes_of(const Cell& bin) {
    SeriesBuffer* s = memory::buffer(cell::node(bin));
    return Bytes(s->head_ptr(), s->tail_ptr());
}

void write(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The document with its body compressed, or nothing when it does not shrink.
Bytes compressed(const Bytes& doc) {
    Bytes packed(doc.size());
    const i64 n = lz::compress(doc.data() + 8, doc.size() - 8, packed.data());
    if (n < 0) return {};
    Bytes out(doc.begin(), doc.begin() + 8);
    out[7] |= 2;
    out.insert(out.end(), packed.begin(), packed.begin() + n);
    return out;
}

Cell load(const std::string& text) {
    Cell* out = stack::push();
    i32 used = 0;
    lexer::scan(out, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), lexer::Mode{}, &used);
    return *out;
}

Cell evaluate(const std::string& text) {
    Cell code = load(text);
    context::bind(code, context::global, false);
    stack::push(cell::make(type::unset));
    stack::mark_native(stack::word(0));
    stack::push(cell::make(type::unset));
    if (interpreter::eval_block(code, true)) std::fprintf(stderr, "%s: unwound\n", text.c_str());
    const Cell r = *stack::arguments;
    stack::unroll();
    return *stack::push(r);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LEXER-CORPUS-DIR ORUBIN-DIR LZ-DIR\n", argv[0]);
        return 2;
    }
    init_process(argc, argv);
    runtime_init();
    natives_output::register_all();
    interpreter::init();
    root_allocation = false;
    boot::define_base();

    std::vector<fs::path> sources;
    for (const auto& e : fs::directory_iterator(argv[1])) sources.push_back(e.path());
    std::sort(sources.begin(), sources.end());
    std::vector<std::pair<std::string, Cell>> values;
    std::string all;
    for (const fs::path& p : sources) {
        std::ifstream in(p, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Some files hold syntax errors on purpose: they are left out.
        Cell* top = stack::top;
        CallFrame* frames = stack::frame_top;
        stack::mark_try(stack::word(0));
        Cell v;
        const bool ok = catch_level(throw_code::error, [&] { v = load(text); }) == 0;
        stack::frame_top = frames;
        stack::arguments = stack::bottom;
        stack::top = top;
        if (!ok) continue;
        values.push_back({p.stem().string(), *stack::push(v)});
        all += text + "\n";
    }
    const std::pair<const char*, const char*> evaluated[] = {
        {"object", "make object! [a: 1 b: [a] f: func [x /y z] [x + a]]"},
        {"shared", "b: [1 2] c: [x] append/only c c reduce [b next b b c]"},
        {"error", "try [1 / 0]"},
        {"natives", "reduce [:if :append :+ make op! func [a b] [a * b]]"},
    };
    for (const auto& [name, text] : evaluated) values.push_back({name, evaluate(text)});
    values.push_back({"all", load(all)});

    const fs::path orubin_dir(argv[2]), lz_dir(argv[3]);
    for (const auto& [name, v] : values) {
        const Bytes compact = bytes_of(*orubin::encode_cp(v));
        const Bytes fixed = bytes_of(*orubin::encode(v));
        write(orubin_dir / (name + ".compact"), compact);
        write(orubin_dir / (name + ".fixed"), fixed);
        for (const auto& [form, doc] : {std::pair{"compact", compact}, std::pair{"fixed", fixed}}) {
            const Bytes packed = compressed(doc);
            if (packed.empty()) continue;
            write(orubin_dir / (name + "." + form + ".lz"), packed);
            write(lz_dir / (name + "." + form), Bytes(packed.begin() + 8, packed.end()));
        }
    }
    runtime_shutdown();
    return 0;
}
