// The core of the `compress` and `decompress` natives, and their method words.
//
// `compress/init` interns the method words zlib, deflate and gzip at start-up;
// the natives compare a method argument's canonical symbol with them. The
// work itself is done over a Buffers: the data's bytes and an output that the
// caller makes (for the natives, a new binary!). Making or growing the
// output may move the data (series buffers move when allocation compacts),
// so the data's address is asked for again after every such call.
//
// compress: the writer gets an output of the data's length + 32 bytes; when
// it answers "too small" it gets one more of the size it reports. decompress
// decodes in one pass into an output that starts at a size hint (the /size
// value when it exceeds the data's length, gzip's ISIZE, else four times the
// data) and grows as needed; every hint is capped at what the data can
// yield (1032 x its length). Any other failure is script/invalid-data; an
// output larger than the largest binary is internal/no-memory, raised
// before memory for it is taken.
#pragma once

#include "runtime/cell.h"

#include <cstdlib>
#include <memory>

namespace oru::compress {

// Canonical symbol ids of the method words (0 before init).
extern i32 zlib_word;
extern i32 deflate_word;
extern i32 gzip_word;

// Start-up, after the checksum method words: interns the three method words.
void init();

enum class Method : u8 { zlib, deflate, gzip };

// The method a word names; raises script/invalid-arg with the word otherwise.
Method method_of(const Cell& word);

// The data and the output of one call.
class Buffers {
public:
    // The data's current address (its length is fixed for the call).
    virtual const u8* data() = 0;
    // A new output of cap bytes in place of any earlier one; its address.
    // Raises internal/no-memory when it cannot be had.
    virtual u8* make(u64 cap) = 0;
    // The output grown to cap bytes, its bytes kept; its address. Raises
    // internal/no-memory when it cannot be had.
    virtual u8* grow(u64 cap) = 0;
    virtual ~Buffers() = default;
};

// Writes the data's len bytes by the method into the output; the length of
// the result (the output's first bytes).
u64 encode(Method m, Buffers& b, u64 len);

// Reads the data's len bytes by the method into the output; the length of
// the result. size_hint: the /size value, or -1 when absent (never used for
// gzip, whose ISIZE is the hint).
u64 decode(Method m, Buffers& b, u64 len, i64 size_hint);

// Bytes in memory of their own (malloc'd, so that growing may remap them
// instead of copying).
class Bytes {
public:
    const u8* data() const { return p_.get(); }
    u64 size() const { return size_; }
    const u8* begin() const { return data(); }
    const u8* end() const { return data() + size_; }

private:
    struct Free {
        void operator()(u8* p) const { std::free(p); }
    };
    std::unique_ptr<u8, Free> p_;
    u64 size_ = 0;
    friend class MemoryBuffers;
};

// encode and decode over plain memory (the same errors are raised).
Bytes encode_bytes(Method m, const u8* data, u64 len);
Bytes decode_bytes(Method m, const u8* data, u64 len, i64 size_hint = -1);

}  // namespace oru::compress
