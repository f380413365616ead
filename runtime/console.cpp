// Console output and print hooks: UTF-8 output to a file descriptor, the
// terminal escape interpreter with its attribute model, and the hook lists.
// See console.h for the buffering rule (nothing survives a call).
#include "runtime/console.h"

#include "runtime/system.h"
#include "runtime/unicode.h"

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace oru::console {

namespace {

int out_fd = 1;
bool console_flag = false;
u16 current_attributes = default_attributes;
u16 saved_defaults = default_attributes;

constexpr size_t buffer_size = 1024;
constexpr size_t flush_threshold = 1020;  // room for one more 4-byte sequence after it
constexpr u32 esc = 27;
constexpr u32 replacement = 0xFFFD;

// Output that cannot be written would be lost while the script went on and
// ended as though it had all gone out: the process ends instead. A reader
// that closed its end of the pipe ends us as it ends any writer, by SIGPIPE
// (ignored for the runtime's other descriptors, so raised here by hand);
// any other failure is reported on standard error.
[[noreturn]] void output_failed(int error) {
    if (error == EPIPE) {
        signal(SIGPIPE, SIG_DFL);
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr);
        raise(SIGPIPE);
        _exit(128 + SIGPIPE);  // as the shell reports a death by SIGPIPE
    }
    char text[160];
    const int n = std::snprintf(text, sizeof text, "*** Error: cannot write the output: %s\n", std::strerror(error));
    if (n > 0) (void)!::write(2, text, std::min(static_cast<size_t>(n), sizeof text - 1));
    _exit(write_error_status);
}

// Writes all n bytes, retrying after interrupts and waiting while a
// non-blocking descriptor is full.
void write_all(const u8* p, size_t n) {
    if (out_fd < 0) return;
    while (n > 0) {
        ssize_t w = ::write(out_fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd wait_for{out_fd, POLLOUT, 0};
                (void)poll(&wait_for, 1, -1);
                continue;
            }
            output_failed(errno);
        }
        if (w == 0) output_failed(EIO);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void write_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
void write_format(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) write_all(reinterpret_cast<const u8*>(text), std::min(static_cast<size_t>(n), sizeof text - 1));
}

// Values that cannot be written as UTF-8 (surrogates, beyond U+10FFFF) are
// shown as U+FFFD: printing never raises.
u32 printable(u32 cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return replacement;
    return cp;
}

struct OutBuffer {
    u8 bytes[buffer_size];
    size_t fill = 0;

    void put_byte(u8 b) { bytes[fill++] = b; }
    void put_code_point(u32 cp) { fill += static_cast<size_t>(unicode::encode_utf8_char(printable(cp), bytes + fill)); }
    void write_if_full() {
        if (fill > flush_threshold) write();
    }
    void write() {
        write_all(bytes, fill);
        fill = 0;
    }
};

u32 unit_at(const u8* p, i32 i, u32 unit) {
    if (unit == 1) return p[i];
    if (unit == 2) {
        u16 v;
        std::memcpy(&v, p + 2 * static_cast<size_t>(i), sizeof v);
        return v;
    }
    u32 v;
    std::memcpy(&v, p + 4 * static_cast<size_t>(i), sizeof v);
    return v;
}

// Writes count units; `raw` copies each unit as a byte (UTF-8 text), else
// each unit is a code point to encode. On a terminal ESC goes to the escape
// interpreter after the buffer is written, so output keeps its order.
void emit(const u8* p, i32 count, u32 unit, bool raw, bool new_line) {
    OutBuffer out;
    for (i32 i = 0; i < count; ++i) {
        u32 c = unit_at(p, i, unit);
        if (c == esc && console_flag) {
            out.write();
            i32 used = escape(p + static_cast<size_t>(i) * unit, count - i, unit);
            if (used > 0) {
                i += used - 1;
                continue;
            }
        }
        if (raw)
            out.put_byte(static_cast<u8>(c));
        else
            out.put_code_point(c);
        out.write_if_full();
    }
    if (new_line) out.put_byte('\n');
    out.write();
}

// The "?" request: the console buffer information. A terminal reports only
// its size; the cursor position cannot be read without a round trip through
// the input, so it prints 0.
void print_buffer_info() {
    winsize ws{};
    if (out_fd < 0 || ioctl(out_fd, TIOCGWINSZ, &ws) != 0) ws = winsize{};
    int cols = ws.ws_col, rows = ws.ws_row;
    write_format("   size______ %d %d\n", cols, rows);
    write_format("   cursor____ %d %d\n", 0, 0);
    write_format("   attribute_ %d\n", current_attributes);
    write_format(" top: %d\n", 0);
    write_format("   left______ %d\n", 0);
    write_format(" bottom: %d\n", rows > 0 ? rows - 1 : 0);
    write_format("   right_____ %d\n", cols > 0 ? cols - 1 : 0);
    write_format("   max_______ %d %d\n", cols, rows);
}

}  // namespace

void init() { console_flag = out_fd >= 0 && isatty(out_fd) == 1; }

void set_output_fd(int fd) {
    out_fd = fd;
    init();
}

int output_fd() { return out_fd; }
bool is_console() { return console_flag; }
void set_console_flag(bool on) { console_flag = on; }
void flush() {}

void save_attributes() { saved_defaults = current_attributes; }
u16 attributes() { return current_attributes; }
u16 saved_attributes() { return saved_defaults; }
void set_attributes(u16 attributes) { current_attributes = attributes; }

u16 sgr(u16 a, u32 code, u16 defaults) {
    // Console colour bits are blue 1, green 2, red 4; ANSI orders red, green, blue.
    static constexpr u16 colour[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    if (code >= 30 && code <= 37) return static_cast<u16>((a & ~0x07u) | colour[code - 30]);
    if (code >= 40 && code <= 47) return static_cast<u16>((a & ~0x70u) | (colour[code - 40] << 4));
    switch (code) {
    case 0: return defaults;
    case 1: return static_cast<u16>(a | 0x88);
    case 4: return static_cast<u16>(a | 0x8000);
    case 7: return static_cast<u16>((a & 0xFF00) | ((a & 0x0F) << 4) | ((a >> 4) & 0x0F));
    case 39: return static_cast<u16>(a | 0x08);
    case 49: return static_cast<u16>(a | 0x80);
    default: return a;
    }
}

void clear(u32 mode, bool line) {
    if (mode > 2) return;
    write_format("\x1b[%u%c", mode, line ? 'K' : 'J');
}

void set_cursor(u32 row, u32 column) { write_format("\x1b[%u;%uH", row, column); }

i32 escape(const void* text, i32 count, u32 unit) {
    const u8* p = static_cast<const u8*>(text);
    if (count < 3 || unit_at(p, 0, unit) != esc || unit_at(p, 1, unit) != '[') return 0;
    // Up to two decimal parameters, each kept modulo 65535.
    u32 param[2] = {0, 0};
    int index = 0;
    bool any = false;  // a digit or ';' was seen
    i32 i = 2;
    for (; i < count; ++i) {
        u32 c = unit_at(p, i, unit);
        if (c >= '0' && c <= '9') {
            param[index] = (param[index] * 10 + (c - '0')) % 65535;
            any = true;
        } else if (c == ';' && index == 0) {
            index = 1;
            any = true;
        } else {
            break;
        }
    }
    if (i >= count) return 0;  // no final letter in this text
    u32 final = unit_at(p, i, unit);
    int given = any ? index + 1 : 0;
    switch (final) {
    case 'A': case 'B': case 'C': case 'D':
        if (param[0] > 0) write_format("\x1b[%u%c", param[0], static_cast<char>(final));
        break;
    case 'H': case 'f':
        if (given == 0)
            write_format("\x1b[H");
        else
            set_cursor(param[0], param[1]);
        break;
    case 'J': clear(param[0], false); break;
    case 'K': clear(param[0], true); break;
    case 'm': {
        u16 a = sgr(current_attributes, param[0]);
        if (given == 2) a = sgr(a, param[1]);
        set_attributes(a);
        if (given == 2)
            write_format("\x1b[%u;%um", param[0], param[1]);
        else
            write_format("\x1b[%um", param[0]);
        break;
    }
    case 's': write_format("\x1b[s"); break;
    case 'u': write_format("\x1b[u"); break;
    case '?': print_buffer_info(); break;
    default: return 0;
    }
    return i + 1;
}

void print_units(const void* address, i32 byte_count, u32 unit, bool new_line) {
    if (unit != 1 && unit != 2 && unit != 4)
        runtime_error(101, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    i32 count = byte_count > 0 ? byte_count / static_cast<i32>(unit) : 0;
    emit(static_cast<const u8*>(address), count, unit, false, new_line);
}

void print_wide(const u16* text, i32 length) {
    if (length < 0) {
        length = 0;
        while (text[length] != 0) ++length;
    }
    std::string utf8;
    utf8.reserve(static_cast<size_t>(length));
    u8 seq[4];
    for (i32 i = 0; i < length; ++i) {
        u32 cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + (((cp & 0x3FF) << 10) | (text[i + 1] & 0x3FFu));
            ++i;
        }
        int n = unicode::encode_utf8_char(printable(cp), seq);
        utf8.append(reinterpret_cast<const char*>(seq), static_cast<size_t>(n));
    }
    emit(reinterpret_cast<const u8*>(utf8.data()), static_cast<i32>(utf8.size()), 1, true, false);
    dyn_print::call_text_hooks(utf8.c_str(), static_cast<int>(utf8.size()), false);
}

void print_text(const char* text) {
    size_t len = std::strlen(text);
    emit(reinterpret_cast<const u8*>(text), static_cast<i32>(len), 1, true, false);
    dyn_print::call_text_hooks(text, static_cast<int>(len), false);
}

void write_bytes(const u8* bytes, i32 n) {
    if (n > 0) write_all(bytes, static_cast<size_t>(n));
}

void print_char(u8 c) {
    char text[3] = {};
    unicode::encode_utf8_char(c, reinterpret_cast<u8*>(text));
    print_text(text);
}

namespace {
template <class T>
void print_formatted(const char* format, T value) {
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    print_text(text);
}
}  // namespace

void print_integer(i32 value) { print_formatted("%i", value); }
void print_byte_hex(u8 value) { print_formatted("%02X", static_cast<unsigned>(value)); }
void print_hex(u32 value) { print_formatted("%08X", value); }
void print_float(double value) { print_formatted("%.16g", value); }
void print_float32(float value) { print_formatted("%.7g", static_cast<double>(value)); }

}  // namespace oru::console

namespace oru::dyn_print {

namespace {

constexpr int hook_step = 5;  // initial capacity and growth of each list

// The lists live outside the tracked heap: heap::free_all must not leave a
// hook list dangling while something can still print.
template <class Hook>
struct HookList {
    Hook* items = nullptr;
    int count = 0;
    int capacity = 0;

    void allocate() {
        if (items) return;
        items = static_cast<Hook*>(std::malloc(sizeof(Hook) * hook_step));
        if (!items) runtime_error(94, 0);
        capacity = hook_step;
    }
    void add(Hook h) {
        if (!h) return;
        allocate();
        if (count == capacity) {
            void* grown = std::realloc(items, sizeof(Hook) * static_cast<size_t>(capacity + hook_step));
            if (!grown) runtime_error(94, 0);
            items = static_cast<Hook*>(grown);
            capacity += hook_step;
        }
        items[count++] = h;
    }
    void remove(Hook h) {
        if (!h) return;
        for (int i = 0; i < count; ++i) {
            if (items[i] != h) continue;
            std::memmove(items + i, items + i + 1, sizeof(Hook) * static_cast<size_t>(count - i - 1));
            --count;
            return;
        }
    }
};

HookList<ValueHook> value_hooks;
HookList<TextHook> text_hooks;

}  // namespace

void init() {
    value_hooks.allocate();
    text_hooks.allocate();
}

void add(ValueHook value_hook, TextHook text_hook) {
    value_hooks.add(value_hook);
    text_hooks.add(text_hook);
}

void remove(ValueHook value_hook, TextHook text_hook) {
    value_hooks.remove(value_hook);
    text_hooks.remove(text_hook);
}

// A hook may add or remove hooks: the loop re-reads the list at every step.
void call_value_hooks(const Cell* value, bool new_line) {
    for (int i = 0; i < value_hooks.count; ++i) value_hooks.items[i](value, new_line);
}

void call_text_hooks(const char* text, int length, bool new_line) {
    for (int i = 0; i < text_hooks.count; ++i) text_hooks.items[i](text, length, new_line);
}

int value_hook_count() { return value_hooks.count; }
int text_hook_count() { return text_hooks.count; }

}  // namespace oru::dyn_print
