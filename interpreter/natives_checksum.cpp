// The checksum native; see natives_checksum.h.
//
// The data's bytes are read where they lie (a binary's buffer, a string's
// UTF-8 conversion cache) only after everything that can allocate: a
// string key is first copied out, and the result is made from a copy of
// the digest.
#include "interpreter/natives_checksum.h"

#include "codecs/lexer_values.h"
#include "interpreter/checksum.h"
#include "interpreter/digest.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <iterator>
#include <vector>

namespace oru::natives {

Cell (*read_whole_file)(const Cell& file) = nullptr;

namespace {

// ORDER METHODS: the method words, their canonical symbols filled in by init.
enum class Method { tcp, md5, sha1, crc32, adler32, sha256, sha384, sha512, hash, count };
constexpr const char* method_names[] = {"tcp", "md5", "sha1", "crc32", "adler32", "sha256", "sha384", "sha512", "hash"};
static_assert(std::size(method_names) == static_cast<size_t>(Method::count));
i32 method_symbols[static_cast<size_t>(Method::count)] = {};

// The algorithm code of a method with one (not adler32 or hash).
i32 algorithm_of(Method m) {
    using namespace checksum::algorithm;
    switch (m) {
        case Method::tcp: return tcp;
        case Method::crc32: return crc32;
        case Method::md5: return md5;
        case Method::sha1: return sha1;
        case Method::sha256: return sha256;
        case Method::sha384: return sha384;
        default: return sha512;
    }
}

Method method_of(const Cell& word) {
    const i32 canon = symbol::canonical(static_cast<i32>(word.data2));
    for (size_t i = 0; i < std::size(method_symbols); i++)
        if (method_symbols[i] == canon) return static_cast<Method>(i);
    fire(ErrorId::script_invalid_arg, word);
}

// The bytes of a binary! or string! from its position, where they lie:
// valid until the next allocation.
struct Bytes {
    const u8* p;
    size_t n;
};
Bytes bytes_of(Cell& value) {
    if (cell::type_of(value) == type::binary) {
        const i32 n = series::rest(value, false);
        return {memory::buffer(cell::node(value))->head_ptr() + cell::head_index(value), static_cast<size_t>(n)};
    }
    i32 length = -1;
    const u8* p = unicode::to_utf8(value, &length);
    return {p, static_cast<size_t>(length)};
}

void result_binary(const u8* digest, i32 length) {
    const Cell r = binary::load(digest, length);
    stack::set_result(r);
}

}  // namespace

u32 checksum(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool with = refinements && refinements[0] >= 0;
    Cell* spec = with ? args + refinements[0] : nullptr;
    const u32 dt = cell::type_of(args[0]);
    if (dt == type::file) {
        if (!read_whole_file) fire(ErrorId::internal_not_done);
        args[0] = read_whole_file(args[0]);
    } else if (dt != type::string && dt != type::binary) {
        fire(ErrorId::script_invalid_arg, args[0]);
    }
    const Method m = method_of(args[1]);
    const bool integer_method = m == Method::crc32 || m == Method::tcp || m == Method::adler32;
    if (with && integer_method) fire(ErrorId::script_invalid_refine_arg, words::refinement::with, args[1]);
    if (integer_method) {
        const Bytes b = bytes_of(args[0]);
        u32 v;
        if (m == Method::crc32) v = checksum::crc32_fast(checksum::crc32_init, b.p, b.n);
        else if (m == Method::adler32) v = checksum::adler32(checksum::adler32_init, b.p, b.n);
        else v = checksum::tcp(b.p, b.n);
        stack::set_result(cell::integer(static_cast<i32>(v)));
        return 0;
    }
    u8 digest[checksum::max_digest];
    if (!with) {
        if (m == Method::hash) fire(ErrorId::script_invalid_refine_arg, words::refinement::with, args[1]);
        const i32 code = algorithm_of(m);
        const Bytes b = bytes_of(args[0]);
        checksum::hash(b.p, b.n, code, digest);
        result_binary(digest, checksum::digest_length(code));
        return 0;
    }
    const u32 st = cell::type_of(*spec);
    if (st == type::integer) fire(ErrorId::internal_not_done);  // a hash table of that size: not built
    if (!series::string_like_q(st) && st != type::binary) fire(ErrorId::script_invalid_arg, *spec);
    if (m == Method::hash) fire(ErrorId::script_invalid_refine_arg, words::refinement::with, *spec);
    const i32 code = algorithm_of(m);
    // The key is copied out first: converting it may move the data's bytes.
    const Bytes k = bytes_of(*spec);
    const std::vector<u8> key(k.p, k.p + k.n);
    const Bytes b = bytes_of(args[0]);
    checksum::hmac(b.p, b.n, key.data(), key.size(), code, digest);
    result_binary(digest, checksum::digest_length(code));
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_checksum {

void init() {
    for (size_t i = 0; i < std::size(natives::method_names); i++)
        natives::method_symbols[i] = symbol::canonical(symbol::make(natives::method_names[i]));
}

void register_all() { natives::provide(natives::slot::checksum, natives::checksum); }

}  // namespace oru::natives_checksum
