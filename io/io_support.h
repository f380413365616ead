// What the OS services of io/ share: text that crosses the OS boundary,
// descriptors that are always closed, and the guard that keeps a broken
// pipe or socket from ending the process.
//
// Text from the OS (file contents, names, child output, HTTP bodies) is
// UTF-8 decoded leniently: a byte sequence that is not UTF-8 becomes one
// U+FFFD per maximal bad run start, never an error and never a fatal exit.
// Text going to the OS is the UTF-8 of a string from its head.
//
// The decoders allocate, so the bytes they are given must not lie in a
// series buffer; the encoders hand out chunks of a buffer of their own and
// run no code between chunks except the caller's sink, which must not
// allocate either.
#pragma once

#include "runtime/cell.h"

#include <cstddef>
#include <string>
#include <vector>

namespace oru::io {

// --- Text --------------------------------------------------------------------

// A new string! (type t) of `size` bytes of UTF-8 at src, decoded leniently;
// a leading byte-order mark is skipped when skip_bom is set. Pushed on the
// data stack; returns the stack cell. internal/no-memory when the text
// cannot be held by one series.
Cell* push_text(const u8* src, size_t size, u32 t = type::string, bool skip_bom = true);

// Appends the lenient decoding of `size` bytes to the string (a cell that no
// allocation can move).
void append_text(const Cell& str, const u8* src, size_t size);

// A new block of strings pushed on the data stack: the bytes split at each
// line feed, a carriage return just before it removed; an empty line gives
// an empty string; a last line without line feed is kept; no line at all
// for empty input.
Cell* push_lines(const u8* src, size_t size);

// The UTF-8 of an any-string's characters from its head (at most `limit`
// characters when limit >= 0) into `out` (appended).
void append_utf8(const Cell& str, std::string& out, i64 limit = -1);

// Hands the same UTF-8 to sink(ctx, bytes, count) in chunks of a buffer of
// its own. The sink must not allocate in series memory (the string's
// buffer is read between chunks).
using ChunkSink = void (*)(void* ctx, const u8* bytes, size_t count);
void utf8_chunks(const Cell& str, i64 limit, ChunkSink sink, void* ctx);

// The text of a value for the OS: an any-string's characters, a word's
// spelling (any word type), anything else formed. UTF-8, appended to out.
void append_spelling(const Cell& value, std::string& out);

// The formed or molded text of any value as UTF-8.
std::string formed(const Cell& value);
std::string molded(const Cell& value);

// The OS path of a string-like value from its head, as UTF-8; false when
// it cannot name a file (empty, or holding NUL).
bool os_path(const Cell& value, std::string& out);

// A new map! made from a key/value block (pushed); the map replaces the
// block on the stack. internal/not-done while map! is not registered.
Cell* block_to_map(Cell* block);

// True when the datatype module of t has registered.
bool registered_q(u32 t);

// --- Descriptors -------------------------------------------------------------

// An owned descriptor, closed on every path. close() reports failure.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    // Closes now; false when the OS reported an error (EINTR counts as
    // closed, as Linux always releases the descriptor).
    bool close();

private:
    int fd_ = -1;
};

// Reads up to n bytes, retrying on EINTR; -1 on error.
long read_some(int fd, void* dst, size_t n);
// Writes all n bytes (partial writes continued, EINTR retried); false on
// error with errno set.
bool write_all(int fd, const void* src, size_t n);

// While alive, SIGPIPE is blocked on this thread: a write to a pipe whose
// reader is gone then fails with EPIPE instead of ending the process. On
// destruction a SIGPIPE raised meanwhile is consumed and the mask restored.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    bool was_blocked_ = false;
};

// A malloc'd byte buffer that grows by doubling; contents uninitialised.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes();
    u8* data() { return data_; }
    const u8* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    // Room for at least n more bytes after size(); throws std::bad_alloc
    // (turned into internal/no-memory by the callers) when refused.
    u8* reserve_more(size_t n);
    void grew(size_t n) { size_ += n; }
    void append(const void* src, size_t n);
    void clear() { size_ = 0; }

private:
    u8* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace oru::io
