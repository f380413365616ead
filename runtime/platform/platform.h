// Platform layer: the few OS services the runtime and the natives need —
// virtual memory for the memory manager, the current directory, sleeping,
// environment variables and the clock.
//
// OS text (paths, environment values) is passed through as the UTF-8 bytes
// the OS holds; callers decode it leniently into strings, so an odd byte never
// ends the process. Directory and environment calls report the OS result and
// leave raising language errors to their callers; memory failures are
// system-level throws.
#pragma once

#include "runtime/cell.h"

#include <cstddef>
#include <string>

namespace oru::platform {

// Committed read-write memory (read-write-execute with the flag), zero-filled.
// Failure is the system-level throw throw_code::mem_alloc.
void* allocate_virtual(size_t size, bool executable);
// Returns a block from allocate_virtual; size is the size it was asked for
// (munmap needs it). Failure is the throw throw_code::mem_release.
void free_virtual(void* address, size_t size);

// The address space the process may map: the smaller of its soft limits on
// address space and on data (ulimit -v, ulimit -d); UINT64_MAX when neither
// is set.
u64 address_space_limit();

// Process set-up of the platform: the console flag. (Standard streams have
// no text mode to leave on Linux.)
void init();

// The current directory as the POSIX path (UTF-8 bytes, no terminator in the
// size); empty when the OS cannot tell (the directory was removed).
std::string get_current_dir();
// Returns whether the change succeeded.
bool set_current_dir(const char* path);

// Reading a whole file: the outcome, and the largest script text the lexer
// takes in one scan (its sizes and offsets are 32-bit).
enum class ReadResult { ok, cannot_open, too_large };
constexpr u64 max_script_bytes = 0x7FFFFFFF;
// Reads the file at path into `out`. One of more than `limit` bytes is
// refused before it is read when its size is known, else (a pipe, a file
// that grows) as soon as the bytes read pass the limit; errno tells why a
// file could not be opened or read.
ReadResult read_file(const char* path, std::string& out, u64 limit = max_script_bytes);

// Milliseconds slept for `seconds`: seconds x 1000 truncated, at least 1,
// at most 0x7FFFFFFF (NaN sleeps 1).
i32 sleep_ms(double seconds);
void sleep(double seconds);

// Sets name to value (value null: removes it). Returns success; a name that
// is empty or holds '=' fails.
bool set_env(const char* name, const char* value);
// Copies the value of name, NUL-terminated, into buffer and returns its length
// in bytes; returns the size needed (length + 1) when size is too small, and 0
// when the variable is not set (or set to an empty value).
u32 get_env(const char* name, char* buffer, u32 size);

// UTC time of day in seconds (hours x 3600 + minutes x 60 + seconds); with
// `precise` plus the fraction of the second, to 100 ns.
double get_time(bool precise);

// Today's date packed as year << 17 | month << 12 | day << 7 | zone: UTC with
// zone 0 when `utc` is set, else local time with the local offset.
u32 get_date(bool utc);

// The 7-bit zone field of a packed date for an offset from UTC in minutes:
// bit 6 the sign, bits 2-5 the hours, bits 0-1 the quarter hours, all of the
// offset's magnitude (so -0:30 keeps its sign).
u32 pack_zone(int offset_minutes);

// One reading of the clock: whole seconds since 1970-01-01 UTC, the
// fraction of the second (to 100 ns, 0 unless `precise`) and the local
// zone's offset from UTC at that instant in seconds (0 with `utc`). `now`
// builds its date from one reading, so that the date and the time of day
// always belong together.
struct Clock {
    i64 seconds;
    double fraction;
    i32 offset;
};
Clock get_clock(bool precise, bool utc);

}  // namespace oru::platform
