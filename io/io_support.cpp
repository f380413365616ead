// Shared helpers of the OS services; see io_support.h.
#include "io/io_support.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace oru::io {

namespace {

// The largest series buffer holds 0x7FFFFFF0 bytes.
constexpr u64 max_series_bytes = 0x7FFFFFF0;

// One step of the lenient decoder: the code point at p (U+FFFD for a bad
// sequence) and the address after it. A sequence rejected after its first
// byte gives back the rejecting byte, which may start the next sequence.
inline const u8* next_char(const u8* p, const u8* end, u32* cp) {
    i32 c;
    const u8* q = unicode::fast_decode_utf8_char(p, end, &c);
    if (c >= 0) {
        *cp = static_cast<u32>(c);
        return q;
    }
    *cp = unicode::replacement_char;
    if (q - p > 1 && q < end) return q - 1;
    if (q - p > 1 && q == end && (end[-1] & 0xC0) != 0x80) return q - 1;
    return q;
}

// True when the 8 bytes at p are all ASCII.
inline bool ascii8(const u8* p) {
    u64 w;
    std::memcpy(&w, p, 8);
    return (w & 0x8080808080808080ull) == 0;
}

struct Measure {
    u64 count = 0;
    u32 widest = 0;
};

Measure measure(const u8* p, const u8* end) {
    Measure m;
    while (p < end) {
        if (end - p >= 8 && ascii8(p)) {
            p += 8;
            m.count += 8;
            continue;
        }
        if (*p < 0x80) {
            p++;
            m.count++;
            continue;
        }
        u32 cp;
        p = next_char(p, end, &cp);
        m.count++;
        if (cp > m.widest) m.widest = cp;
    }
    return m;
}

// Writes the decoded characters, one Unit each, into dst.
template <typename Unit>
void decode_units(const u8* p, const u8* end, u8* dst) {
    while (p < end) {
        u32 cp = *p;
        if (cp < 0x80) p++;
        else p = next_char(p, end, &cp);
        const Unit v = static_cast<Unit>(cp);
        std::memcpy(dst, &v, sizeof v);
        dst += sizeof v;
    }
}

// Writes the decoded characters at `unit` bytes each into dst.
void decode_into(const u8* p, const u8* end, u8* dst, u32 unit) {
    if (unit == 1) decode_units<u8>(p, end, dst);
    else if (unit == 2) decode_units<u16>(p, end, dst);
    else decode_units<u32>(p, end, dst);
}

// A new string buffer of the decoded text.
Node decode(const u8* src, size_t size) {
    const u8* end = src + size;
    const Measure m = measure(src, end);
    const u32 unit = m.widest < 0x100 ? 1 : m.widest < 0x10000 ? 2 : 4;
    if (m.count * unit > max_series_bytes) fire(ErrorId::internal_no_memory);
    const i32 count = static_cast<i32>(m.count);
    const Node n = memory::alloc_series(count ? count : 1, unit, 0);
    SeriesBuffer* s = memory::buffer(n);
    decode_into(src, end, s->data(), unit);
    s->tail = s->head + static_cast<u32>(count) * unit;
    return n;
}

}  // namespace

Cell* push_text(const u8* src, size_t size, u32 t, bool skip_bom) {
    if (skip_bom && size >= 3 && src[0] == 0xEF && src[1] == 0xBB && src[2] == 0xBF) {
        src += 3;
        size -= 3;
    }
    Cell* slot = stack::push();
    *slot = cell::make(type::none);
    *slot = cell::make(t, 0, decode(src, size), 0);
    return slot;
}

void append_text(const Cell& str, const u8* src, size_t size) {
    if (!size) return;
    const Cell* text = push_text(src, size, type::string, false);
    string::concatenate(str, *text, -1, 0, false, string::mode::append);
    stack::pop(1);
}

Cell* push_lines(const u8* src, size_t size) {
    Cell* blk = stack::push();
    block::make_at(*blk, 16);
    const u8* p = src;
    const u8* end = src + size;
    while (p < end) {
        const u8* lf = static_cast<const u8*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const u8* stop = lf ? lf : end;
        const u8* line_end = lf && stop > p && stop[-1] == '\r' ? stop - 1 : stop;
        push_text(p, static_cast<size_t>(line_end - p), type::string, false);
        block::rs_append(*blk, *(stack::top - 1));
        stack::pop(1);
        p = lf ? lf + 1 : end;
    }
    return blk;
}

namespace {

// Encodes characters of one Unit each into a buffer of its own, handed to
// the sink whenever it is nearly full and at the end.
template <typename Unit>
void encode_units(const u8* p, i64 n, ChunkSink sink, void* ctx) {
    u8 buf[32768];
    size_t used = 0;
    for (i64 i = 0; i < n; i++) {
        if (sizeof buf - used < 4) {
            sink(ctx, buf, used);
            used = 0;
        }
        Unit c;
        std::memcpy(&c, p + i * static_cast<i64>(sizeof c), sizeof c);
        if (c < 0x80) {
            buf[used++] = static_cast<u8>(c);
            continue;
        }
        u32 cp = c;
        if (cp > unicode::max_code_point) cp = unicode::replacement_char;
        used += static_cast<size_t>(unicode::encode_utf8_char(cp, buf + used));
    }
    if (used) sink(ctx, buf, used);
}

}  // namespace

void utf8_chunks(const Cell& str, i64 limit, ChunkSink sink, void* ctx) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    const u32 unit = s->unit();
    i64 head = cell::head_index(str);
    const i64 length = s->length();
    if (head < 0) head = 0;
    if (head >= length) return;
    i64 n = length - head;
    if (limit >= 0 && limit < n) n = limit;
    const u8* p = s->head_ptr() + head * unit;
    if (unit == 1) encode_units<u8>(p, n, sink, ctx);
    else if (unit == 2) encode_units<u16>(p, n, sink, ctx);
    else encode_units<u32>(p, n, sink, ctx);
}

void append_utf8(const Cell& str, std::string& out, i64 limit) {
    // std::string grows in C++ memory: no series buffer moves meanwhile.
    utf8_chunks(
        str, limit, [](void* ctx, const u8* p, size_t n) { static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(p), n); },
        &out);
}

namespace {

std::string text_of(const Cell& value, bool mold) {
    Cell* saved = stack::top;
    Cell* v = stack::push(value);
    Cell* buffer = stack::push();
    string::make_at(*buffer, 32);
    if (mold) actions::mold(v, buffer, false, false, false, nullptr, 0x7FFFFFFF, 0);
    else actions::form(v, buffer, nullptr, 0x7FFFFFFF);
    std::string out;
    append_utf8(*buffer, out);
    stack::top = saved;
    return out;
}

}  // namespace

std::string formed(const Cell& value) { return text_of(value, false); }
std::string molded(const Cell& value) { return text_of(value, true); }

void append_spelling(const Cell& value, std::string& out) {
    const u32 t = cell::type_of(value);
    if (series::string_like_q(t)) {
        append_utf8(value, out);
    } else if (word::any_word_type_q(t)) {
        const i32 sym = word::symbol_of(value);
        out.append(symbol::get_c_string(sym), static_cast<size_t>(symbol::name_length(sym)));
    } else {
        out += formed(value);
    }
}

bool os_path(const Cell& value, std::string& out) {
    out.clear();
    if (!series::string_like_q(cell::type_of(value))) return false;
    append_utf8(value, out);
    return !out.empty() && out.find('\0') == std::string::npos;
}

bool registered_q(u32 t) { return t < registry::table_types && registry::datatypes[t].name != nullptr; }

Cell* block_to_map(Cell* block) {
    if (!registered_q(type::map)) fire(ErrorId::internal_not_done);
    Cell* proto = stack::push(datatype::make(type::map));
    Cell* spec = stack::push(*block);
    const Cell made = *actions::make(proto, spec);
    *block = made;
    stack::top = block + 1;
    return block;
}

// --- Descriptors -------------------------------------------------------------

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool Fd::close() {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 || errno == EINTR;
}

long read_some(int fd, void* dst, size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd, dst, n);
        if (r >= 0 || errno != EINTR) return static_cast<long>(r);
    }
}

bool write_all(int fd, const void* src, size_t n) {
    const u8* p = static_cast<const u8*>(src);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

SigpipeGuard::SigpipeGuard() {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    was_blocked_ = sigismember(&old, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard() {
    if (was_blocked_) return;
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, SIGPIPE);
        const timespec zero{0, 0};
        while (sigtimedwait(&only, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

// --- Bytes -------------------------------------------------------------------

Bytes::~Bytes() { std::free(data_); }

u8* Bytes::reserve_more(size_t n) {
    if (capacity_ - size_ < n) {
        size_t want = capacity_ ? capacity_ : 4096;
        while (want - size_ < n) {
            if (want > SIZE_MAX / 2) throw std::bad_alloc();
            want *= 2;
        }
        void* p = std::realloc(data_, want);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<u8*>(p);
        capacity_ = want;
    }
    return data_ + size_;
}

void Bytes::append(const void* src, size_t n) {
    if (!n) return;
    std::memcpy(reserve_more(n), src, n);
    size_ += n;
}

}  // namespace oru::io
