// Console output and print hooks.
//
// Everything the runtime prints goes to the output file descriptor (standard
// output unless redirected) as UTF-8 with LF line ends, and, for text printed
// through print_wide/print_text, to the registered text hooks. The `print`
// and `prin` natives call the value hooks themselves. When the output is a
// terminal (the console flag), "ESC [ params final" sequences go through a
// small escape interpreter that re-emits them in normalized form and keeps a
// model of the console attribute word (4 bits of foreground, 4 of
// background, 0x8000 underscore) up to date; on a file or pipe every unit is
// written as it is. Output that cannot be written ends the process, so that
// none is lost unnoticed: by SIGPIPE when the reader closed the pipe, else
// with a report on standard error and write_error_status.
//
// Each print call encodes into a 1024-byte buffer on its own stack frame,
// writes whenever the buffer holds more than 1020 bytes and writes the rest
// before returning: nothing stays buffered between calls, printing works
// before init, and a print reached from a hook cannot clobber an outer one.
#pragma once

#include "runtime/cell.h"

namespace oru::console {

// Exit status after a failed write of the output (other than to a closed pipe).
constexpr int write_error_status = 1;

// Sets the console flag from the output descriptor (a terminal or not).
void init();

// Redirects output to fd (-1: output is dropped) and sets the console flag
// from isatty(fd). Standard output (1) is the default.
void set_output_fd(int fd);
int output_fd();

// The console flag: true when the output is a terminal.
bool is_console();
// Forces the console flag, so the escape interpreter can run on a pipe.
void set_console_flag(bool on);

// Nothing is kept buffered between calls; callers that end the process call
// this anyway so the guarantee can change without touching them.
void flush();

// Attribute model. The attributes a terminal starts with are not readable,
// so the saved defaults are light grey on black (0x07) until saved again.
constexpr u16 default_attributes = 0x07;
void save_attributes();        // remembers the current attributes for SGR 0
u16 attributes();              // current attributes
u16 saved_attributes();
void set_attributes(u16 attributes);

// The attribute word after SGR `code`; code 0 gives `defaults`.
u16 sgr(u16 attributes, u32 code, u16 defaults);
inline u16 sgr(u16 attributes, u32 code) { return sgr(attributes, code, saved_attributes()); }

// Terminal control: erase in display (line = false) or line (line = true),
// modes 0 (cursor to end), 1 (start to cursor), 2 (all); others do nothing.
void clear(u32 mode, bool line = false);
// Places the cursor at row;column as the sequence gave them.
void set_cursor(u32 row, u32 column);

// Escape interpreter. `text` holds `count` units of size `unit`, starting with
// ESC. Consumes a complete "ESC [ p1 ; p2 final" whose final letter it knows
// (A B C D H f J K m s u ?), performs it and returns the units consumed; for
// anything else returns 0 and the caller writes the ESC as ordinary text, so
// the terminal still sees sequences this interpreter does not handle.
i32 escape(const void* text, i32 count, u32 unit);

// Writes byte_count bytes of 1-, 2- or 4-byte code units (code points), then
// LF when new_line is set. Any other unit size is runtime error 101. No hooks.
void print_units(const void* address, i32 byte_count, u32 unit, bool new_line);

// Writes UTF-16 text (length in units, or up to the NUL when length < 0;
// surrogate pairs combined, lone surrogates shown as U+FFFD), then calls the
// text hooks with its UTF-8 form.
void print_wide(const u16* text, i32 length = -1);

// Writes a NUL-terminated UTF-8 text as it is, then calls the text hooks.
void print_text(const char* text);

// Writes n bytes as they are, whatever they hold. No hooks.
void write_bytes(const u8* bytes, i32 n);

// Prints one character: the byte taken as a Latin-1 code point.
void print_char(u8 c);

void print_integer(i32 value);     // "%i"
void print_byte_hex(u8 value);     // "%02X"
void print_hex(u32 value);         // "%08X"
void print_float(double value);    // "%.16g"
void print_float32(float value);   // "%.7g"

}  // namespace oru::console

namespace oru::dyn_print {

// A value hook gets the printed string value; a text hook gets UTF-8 text
// (NUL-terminated) and its length in bytes.
using ValueHook = void (*)(const Cell* value, bool new_line);
using TextHook = void (*)(const char* text, int length, bool new_line);

// Allocates both lists (capacity 5). add() calls it when it has not run.
void init();

// Appends each non-null hook to its list; a list grows by 5 when full.
void add(ValueHook value_hook, TextHook text_hook);
// Removes the first occurrence of each non-null hook; later ones move down.
void remove(ValueHook value_hook, TextHook text_hook);

void call_value_hooks(const Cell* value, bool new_line);
void call_text_hooks(const char* text, int length, bool new_line);

int value_hook_count();
int text_hook_count();

}  // namespace oru::dyn_print
