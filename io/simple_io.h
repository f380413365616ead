// simple-io: the synchronous file layer. Whole-file reads (binary, text or
// lines), writes (with seek, append and lines), directory listings,
// deletion, renaming, existence and modification-date queries, directory
// creation. Each operation opens, works and closes: no descriptor outlives
// a call, and every one is opened O_CLOEXEC so a child never inherits it.
//
// Paths: a file's language form is its POSIX path as it is (see
// ARCHITECTURE.md), so the OS path of a value is the UTF-8 of its text from
// its head; "/" names the root directory. Until file! registers, these
// entry points take any string-like value as a path. Names in listings and
// file contents are decoded leniently (io_support.h).
//
// Sizes are 64-bit and only a hint: a read goes on to the end of the file
// (or to seek + part), so /proc files that report 0, /sys files that report
// 4096, pipes and FIFOs read whole; a source that never ends stops with
// internal/no-memory once it passes the largest series.
//
// Arguments given by address must lie on the data stack (or in locals):
// the routines allocate. Results are pushed on the data stack.
//
// Interface for the file! actions (read, write, delete, query, rename):
//   read    simple_io::read_file(file, seek, part, binary, lines)
//   write   simple_io::write(&file, data, seek, part, binary, append, lines)
//   delete  simple_io::delete_(file)      query  simple_io::query(file)
//   rename  simple_io::rename(from, to)
// and for size? and checksum of a file: file_size, read_file.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::simple_io {

// The largest file read into one value (the largest series buffer).
constexpr u64 max_read_bytes = 0x7FFFFFF0;

// True when the text names a directory: it ends in "/" (or "\"), is "." or
// "..", or ends in "/." or "/..".
bool dir_name_q(const Cell& file);
bool dir_name_q(const std::string& path);

// Reads a file's data: `part` bytes at most (-1 none), from byte `seek`
// (-1 none), as a binary! (binary), a block! of strings (lines) or a
// string!. Pushes the result and returns it; returns null (nothing pushed)
// when the file cannot be opened or read. A seek past the end gives the
// empty result. internal/no-memory past max_bytes.
Cell* read_data(const std::string& path, i64 part, i64 seek, bool binary, bool lines,
                u64 max_bytes = max_read_bytes);

// The read action of file!: a directory name is listed; otherwise /seek and
// /part (integer!, null when absent) feed read_data. Raises access
// cannot-open with the file when it cannot be read, script
// invalid-refine-arg for a /seek or /part that is not an integer or a
// negative /seek. Pushes and returns the result.
Cell* read_file(const Cell& file, const Cell* seek, const Cell* part, bool binary, bool lines);

// The listing of a directory: a block! of file! names, "/" after the names
// of directories (links followed), never "." or "..", in the OS's order.
// access cannot-open when the directory cannot be listed. Pushed.
Cell* list_dir(const Cell& dir);

// Writes data to the file (standard output when file is null): a string as
// UTF-8 (at most /part characters), a binary's bytes (at most /part bytes),
// any other value molded; with lines each value of a block (or the value)
// followed by CR LF. The file is created or truncated, kept with /seek
// (written from that offset) or appended to. Returns the bytes written.
// Raises script invalid-refine-arg for a /seek or /part that is not an
// integer or a negative /seek, access cannot-open when the file cannot be
// opened, written or closed.
i64 write(const Cell* file, const Cell& data, const Cell* seek, const Cell* part, bool binary, bool append,
          bool lines);

// Deletes the file, or the empty directory (a directory name, or a name
// the OS says is a directory). Success.
bool delete_(const Cell& file);

// The date! (UTC, to the millisecond) of the file's last write; none when
// it does not exist, or when a directory name names something else.
Cell query(const Cell& file);

// Renames; refuses (false) when the target exists.
bool rename(const Cell& from, const Cell& to);

// Creates one directory; success.
bool make_dir(const char* os_path);
// Whether the path exists (links followed).
bool file_exists_q(const char* os_path);
// The size of the file in bytes; -1 when it cannot be opened or is a
// directory. (For files that report no size, such as those of /proc, 0.)
i64 file_size(const char* os_path);

}  // namespace oru::simple_io
