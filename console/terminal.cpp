// The console on a text terminal: see terminal.h. Input is read from
// descriptor 0 and output written to descriptor 1; the mode (the line
// editor or plain lines) is chosen at each read, so a redirected stream
// always gets plain lines.
#include "console/terminal.h"
#include "console/line_editor.h"

#include "interpreter/evaluator.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/halt.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace oru::terminal {

namespace {

using routine::Machine;

// --- The unfinished output line ---------------------------------------------------

// What was printed after the last line end (capped: only its tail is drawn
// again).
std::u32string pending_line;
constexpr size_t pending_cap = 4096;

void note_output(const std::u32string& text, bool new_line) {
    const size_t lf = text.rfind(U'\n');
    if (lf == std::u32string::npos) pending_line += text;
    else pending_line = text.substr(lf + 1);
    if (new_line) pending_line.clear();
    if (pending_line.size() > pending_cap) pending_line.erase(0, pending_line.size() - pending_cap);
}

std::u32string chars_of(const Cell& s) {
    std::u32string out;
    const i32 end = series::abs_length_q(s);
    for (i32 i = cell::head_index(s); i < end; i++) out += static_cast<char32_t>(string::rs_abs_at(s, i));
    return out;
}

void value_hook(const Cell* value, bool new_line) {
    if (value && cell::type_of(*value) == type::string) note_output(chars_of(*value), new_line);
}
void text_hook(const char* text, int length, bool new_line) {
    note_output(from_utf8(length < 0 ? std::string(text) : std::string(text, static_cast<size_t>(length))), new_line);
}

// --- Terminal state ------------------------------------------------------------------

bool both_terminals() { return isatty(0) && isatty(1); }

struct Size {
    int cols = 80;
    int rows = 24;
};
Size window_size() {
    winsize w{};
    if (isatty(1) && ioctl(1, TIOCGWINSZ, &w) == 0 && w.ws_col > 0 && w.ws_row > 0) return {w.ws_col, w.ws_row};
    return {};
}

volatile sig_atomic_t resized = 0;
void on_winch(int) { resized = 1; }

termios saved_mode;
volatile sig_atomic_t raw_on = 0;

void restore_mode() {
    if (raw_on) {
        tcsetattr(0, TCSADRAIN, &saved_mode);
        // Bracketed paste off again.
        (void)!write(1, "\x1b[?2004l", 8);
        raw_on = 0;
    }
}

// Fatal signals while raw: the terminal comes back, then the signal's
// earlier handler (the runtime's fault report) or its default action.
constexpr int fatal_signals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction previous[sizeof fatal_signals / sizeof fatal_signals[0]];

void on_fatal(int sig, siginfo_t* info, void* context) {
    restore_mode();
    for (size_t i = 0; i < sizeof fatal_signals / sizeof fatal_signals[0]; i++) {
        if (fatal_signals[i] != sig) continue;
        sigaction(sig, &previous[i], nullptr);
        const struct sigaction& p = previous[i];
        if ((p.sa_flags & SA_SIGINFO) && p.sa_sigaction) return p.sa_sigaction(sig, info, context);
        if (!(p.sa_flags & SA_SIGINFO) && p.sa_handler != SIG_DFL && p.sa_handler != SIG_IGN)
            return p.sa_handler(sig);
        raise(sig);
        return;
    }
}

bool exit_hook_set = false;

// Raw mode for the editor, undone when the read ends however it ends.
struct RawMode {
    bool ok = false;
    RawMode() {
        if (tcgetattr(0, &saved_mode) != 0) return;
        if (!exit_hook_set) {
            std::atexit(restore_mode);
            exit_hook_set = true;
        }
        termios raw = saved_mode;
        raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
        raw.c_cflag |= CS8;
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        struct sigaction sa {};
        sa.sa_sigaction = on_fatal;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        for (size_t i = 0; i < sizeof fatal_signals / sizeof fatal_signals[0]; i++)
            sigaction(fatal_signals[i], &sa, &previous[i]);
        struct sigaction winch {};
        winch.sa_handler = on_winch;  // no SA_RESTART: poll returns at a resize
        sigemptyset(&winch.sa_mask);
        sigaction(SIGWINCH, &winch, nullptr);
        if (tcsetattr(0, TCSADRAIN, &raw) != 0) return;
        raw_on = 1;
        ok = true;
        (void)!write(1, "\x1b[?2004h", 8);
    }
    ~RawMode() {
        restore_mode();
        for (size_t i = 0; i < sizeof fatal_signals / sizeof fatal_signals[0]; i++)
            sigaction(fatal_signals[i], &previous[i], nullptr);
    }
};

void write_all(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(1, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// --- Calls into the library ----------------------------------------------------------

// Calls the global function `name` with the arguments; hands its result to
// `take` while it is still on the stack. Nothing when the word holds no
// function. The library's wrappers catch every error themselves.
template <class F>
void call_library(const char* name, std::initializer_list<Cell> args, F&& take) {
    const i32 sym = symbol::make(name);
    const Cell* slot = context::global_slot(sym);
    if (!slot || cell::type_of(*slot) != type::function) return;
    const Cell fn = *slot;
    const Cell label = stack::word(sym);
    Cell* saved = stack::top;
    stack::mark(label, function::context_of(fn));
    for (const Cell& a : args) stack::push(a);
    function::init_locals(function::count_locals(function::spec_of(fn), static_cast<i32>(args.size()), false));
    interpreter::call_handler(fn);
    take(*stack::arguments);
    stack::unwind_func();
    stack::top = saved;
}

Cell* push_string(const std::u32string& s) {
    const std::string u = to_utf8(s);
    return string::load_utf8_checked(reinterpret_cast<const u8*>(u.data()), static_cast<i32>(u.size()));
}

bool colour_on() {
    const char* no = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return !(no && *no) && !(term && std::strcmp(term, "dumb") == 0);
}
bool truecolor() {
    const char* c = std::getenv("COLORTERM");
    return c && (std::strcmp(c, "truecolor") == 0 || std::strcmp(c, "24bit") == 0);
}

// The style block [start x length style-values ...] as SGR runs over a
// text of n characters.
void style_runs(const Cell& blk, size_t n, std::vector<StyleRun>& runs) {
    const bool tc = truecolor();
    const i32 end = series::abs_length_q(blk);
    for (i32 i = cell::head_index(blk); i < end; i++) {
        const Cell v = *block::rs_abs_at(blk, i);
        if (cell::type_of(v) == type::pair) {
            const i32 start = pair::x_of(v), len = pair::y_of(v);
            if (start < 1 || len < 1 || static_cast<size_t>(start) > n) {
                runs.push_back({n, 0, {}});  // a run that colours nothing takes the values after it
                continue;
            }
            runs.push_back({static_cast<size_t>(start - 1), static_cast<size_t>(len), {}});
            continue;
        }
        if (runs.empty()) continue;
        std::string& sgr = runs.back().sgr;
        std::string part;
        if (cell::type_of(v) == type::tuple) {
            u8 bytes[12];
            std::memcpy(bytes, &v.data1, sizeof bytes);
            part = colour_sgr(bytes[0], bytes[1], bytes[2], tc);
        } else if (cell::type_of(v) == type::word) {
            const char* w = symbol::get_c_string(word::symbol_of(v));
            if (std::strcmp(w, "bold") == 0) part = "1";
            else if (std::strcmp(w, "underline") == 0) part = "4";
            else if (std::strcmp(w, "italic") == 0) part = "3";
        }
        if (!part.empty()) sgr += (sgr.empty() ? "" : ";") + part;
    }
}

Completion complete_line(const std::u32string& line, size_t caret) {
    Completion c;
    Cell* top = stack::top;
    Cell* str = push_string(line);
    str->data1 = static_cast<u32>(caret);
    call_library("_console-complete", {*str}, [&](const Cell& r) {
        if (cell::type_of(r) != type::block) return;
        c.ok = true;
        const i32 end = series::abs_length_q(r);
        for (i32 i = cell::head_index(r); i < end; i++) {
            const Cell v = *block::rs_abs_at(r, i);
            const u32 t = cell::type_of(v);
            if (t != type::string && t != type::file && t != type::url && t != type::tag && t != type::email) {
                c.ok = false;
                return;
            }
            std::u32string text;
            const i32 vend = series::abs_length_q(v);
            for (i32 k = 0; k < vend; k++) text += static_cast<char32_t>(string::rs_abs_at(v, k));
            if (c.values.empty()) c.caret = static_cast<size_t>(cell::head_index(v));
            c.values.push_back(std::move(text));
        }
    });
    stack::top = top;
    return c;
}

bool highlight_line(const std::u32string& line, std::vector<StyleRun>& runs) {
    bool ok = false;
    Cell* top = stack::top;
    Cell* str = push_string(line);
    call_library("_console-styles", {*str}, [&](const Cell& r) {
        // false: the highlighter failed; none: there is none.
        if (cell::type_of(r) == type::logic) write_all("\a");
        if (cell::type_of(r) != type::block) return;
        style_runs(r, line.size(), runs);
        ok = true;
    });
    stack::top = top;
    return ok;
}

bool function_bound(const char* name) {
    const Cell* slot = context::global_slot(symbol::make(name));
    return slot && cell::type_of(*slot) == type::function;
}

// --- Reading ---------------------------------------------------------------------------

// Standard input, read in blocks for the plain-line mode.
std::string input_buffer;
bool input_ended = false;

bool read_plain_line(std::string& line) {
    for (;;) {
        const size_t lf = input_buffer.find('\n');
        if (lf != std::string::npos) {
            line = input_buffer.substr(0, lf);
            input_buffer.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (input_ended) {
            if (input_buffer.empty()) return false;
            line.swap(input_buffer);
            input_buffer.clear();
            return true;
        }
        char chunk[4096];
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) input_ended = true;
        else input_buffer.append(chunk, static_cast<size_t>(n));
    }
}

enum class Outcome { line, escape, end };

// The decoder keeps its state from one read to the next (a paste that
// spans several lines), and so do the keys decoded past a line's end.
KeyDecoder decoder;
std::vector<KeyEvent> queued_keys;

Outcome edit_line(const std::u32string& prompt, bool hide, std::vector<std::u32string> history, std::u32string& out) {
    static bool locale_set = false;
    if (!locale_set) {
        // wcwidth follows LC_CTYPE; the program's text is UTF-8 whatever the
        // environment says.
        if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
        locale_set = true;
    }
    RawMode raw;
    EditorHost host;
    host.write = write_all;
    host.columns = [] { return window_size().cols; };
    if (function_bound("_console-complete")) host.complete = complete_line;
    if (!hide && colour_on()) host.highlight = highlight_line;
    LineEditor editor(host);
    editor.begin(prompt, hide, std::move(history));
    std::vector<KeyEvent> keys;
    keys.swap(queued_keys);
    for (;;) {
        for (size_t i = 0; i < keys.size(); i++) {
            const EditResult result = editor.key(keys[i]);
            if (result == EditResult::editing) continue;
            // Keys after the line's end (the next lines of a paste) wait
            // for the next read.
            queued_keys.assign(keys.begin() + static_cast<long>(i) + 1, keys.end());
            editor.finish();
            if (result == EditResult::end_of_input) return Outcome::end;
            out = editor.text();
            return result == EditResult::escape ? Outcome::escape : Outcome::line;
        }
        keys.clear();
        pollfd p{0, POLLIN, 0};
        const int r = poll(&p, 1, decoder.waiting() ? 50 : -1);
        if (resized) {
            resized = 0;
            editor.redraw();
        }
        if (r < 0) {
            if (errno != EINTR) keys.push_back({Key::end_of_input});
        } else if (r == 0) {
            decoder.timeout(keys);
        } else {
            u8 bytes[512];
            const ssize_t n = ::read(0, bytes, sizeof bytes);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) keys.push_back({Key::end_of_input});
            else decoder.feed(bytes, static_cast<size_t>(n), keys);
        }
    }
}

// The history block's strings, newest first, for browsing.
std::vector<std::u32string> history_of(const Cell& blk) {
    std::vector<std::u32string> out;
    if (cell::type_of(blk) != type::block) return out;
    const i32 end = series::abs_length_q(blk);
    for (i32 i = cell::head_index(blk); i < end; i++) {
        const Cell v = *block::rs_abs_at(blk, i);
        if (cell::type_of(v) == type::string) out.push_back(chars_of(v));
    }
    return out;
}

}  // namespace

void track_output() { dyn_print::add(value_hook, text_hook); }

namespace {
Machine read_line(const Machine* a);
}  // namespace

Machine console_read(const Machine* a, i32) {
    const Machine m = read_line(a);
    // A Ctrl+C while the line was read asked nothing of the next command.
    halt::requested.store(false, std::memory_order_relaxed);
    return m;
}

namespace {
Machine read_line(const Machine* a) {
    const Cell history = *a[0].cell;
    const bool hide = logic::truth(*a[1].cell);
    const Cell question = *a[2].cell;
    const std::u32string q = cell::type_of(question) == type::string ? chars_of(question) : std::u32string();
    console::flush();
    if (both_terminals()) {
        std::u32string text;
        const std::u32string prompt = pending_line + q;
        const Outcome o = edit_line(prompt, hide, history_of(history), text);
        pending_line.clear();
        natives::last_lf_q = true;
        if (o == Outcome::end) return Machine{.cell = stack::push(none::value)};
        if (o == Outcome::escape) text += char32_t(27);
        return Machine{.cell = push_string(text)};
    }
    // Plain lines: the question, then the line, read without echo; the
    // prompt's line is ended when it holds text, as the typed line would.
    if (!q.empty()) console::print_text(to_utf8(q).c_str());
    std::string line;
    const bool got = read_plain_line(line);
    if (!pending_line.empty()) {
        console::print_text("\n");
        natives::last_lf_q = true;
    }
    pending_line.clear();
    if (!got) return Machine{.cell = stack::push(none::value)};
    return Machine{.cell = string::load_utf8_checked(reinterpret_cast<const u8*>(line.data()),
                                                     static_cast<i32>(line.size()))};
}
}  // namespace

Machine console_size(const Machine*, i32) {
    const Size s = window_size();
    return Machine{.cell = pair::push(s.cols, s.rows)};
}

Machine console_title(const Machine* a, i32) {
    const Cell title = *a[0].cell;
    if (isatty(1) && cell::type_of(title) == type::string) {
        std::string t = to_utf8(chars_of(title));
        // Control characters would end the sequence early.
        for (char& c : t)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
        console::flush();
        write_all("\x1b]0;" + t + "\x07");
    }
    return Machine{.cell = stack::push(unset::value)};
}

Machine console_args(const Machine*, i32) {
    Cell* blk = block::push_only(runtime.argc);
    for (int i = 1; i < runtime.argc; i++) {
        Cell* top = stack::top;
        const char* arg = runtime.argv[i];
        Cell* s = string::load_utf8_checked(reinterpret_cast<const u8*>(arg), static_cast<i32>(std::strlen(arg)));
        block::rs_append(*blk, *s);
        stack::top = top;
    }
    return Machine{.cell = blk};
}

namespace {
void on_interrupt(int) { halt::requested.store(true, std::memory_order_relaxed); }
}  // namespace

Machine halt_on_interrupt(const Machine* a, i32) {
    const bool on = logic::truth(*a[0].cell);
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on ? on_interrupt : SIG_DFL;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    if (!on) halt::requested.store(false, std::memory_order_relaxed);
    return Machine{.cell = stack::push(unset::value)};
}

}  // namespace oru::terminal
