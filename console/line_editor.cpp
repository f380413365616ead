// The terminal line editor: see line_editor.h. Undo records and history
// browsing follow the console's GUI editor, so that the same keys do the
// same edits on both.
#include "console/line_editor.h"

#include <algorithm>
#include <cwchar>

namespace oru::terminal {

namespace {

struct Pos {
    int row = 0;
    int col = 0;
};

// The cursor after a character of width w: a character that does not fit
// on the row goes to the next one, as terminals place it.
Pos advance(Pos p, int w, int cols) {
    if (p.col + w > cols && p.col > 0) p = {p.row + 1, 0};
    p.col += w;
    return p;
}
// Where the next character starts: a full row continues on the next.
Pos normal(Pos p, int cols) { return p.col >= cols ? Pos{p.row + 1, 0} : p; }

std::string csi(int n, char final) { return "\x1b[" + std::to_string(n) + final; }

constexpr char32_t escape_char = 27;

}  // namespace

int char_width(char32_t c) {
    const int w = ::wcwidth(static_cast<wchar_t>(c));
    return w < 0 ? 1 : w;
}

bool word_delimiter(char32_t c) {
    switch (c) {
        case '/': case '\\': case '^': case '[': case ']': case '(': case ')': case '{': case '}':
        case '"': case '@': case ':': case ';': case ' ': case '\t':
            return true;
        default:
            return false;
    }
}

std::string colour_sgr(int r, int g, int b, bool truecolor) {
    if (r == 0 && g == 0 && b == 0) return "39";
    if (truecolor)
        return "38;2;" + std::to_string(r) + ';' + std::to_string(g) + ';' + std::to_string(b);
    static const int levels[6] = {0, 95, 135, 175, 215, 255};
    auto level = [](int v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; };
    const int qr = level(r), qg = level(g), qb = level(b);
    auto dist = [&](int x, int y, int z) { return (x - r) * (x - r) + (y - g) * (y - g) + (z - b) * (z - b); };
    const int cube = dist(levels[qr], levels[qg], levels[qb]);
    const int avg = (r + g + b) / 3;
    const int gi = avg < 8 ? 0 : avg > 238 ? 23 : (avg - 8) / 10;
    const int gv = 8 + gi * 10;
    const int n = dist(gv, gv, gv) < cube ? 232 + gi : 16 + 36 * qr + 6 * qg + qb;
    return "38;5;" + std::to_string(n);
}

std::string to_utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) out += static_cast<char>(0xC0 | (c >> 6)), out += static_cast<char>(0x80 | (c & 0x3F));
        else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u32string from_utf8(const std::string& s) {
    KeyDecoder d;
    std::vector<KeyEvent> keys;
    std::u32string out;
    // Plain UTF-8 decoding: only characters come out of text without ESC.
    for (size_t i = 0; i < s.size(); i++) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        if (b == 0x1B) {
            out += escape_char;
            continue;
        }
        d.feed(&b, 1, keys);
        for (const KeyEvent& k : keys) out += k.ch;
        keys.clear();
    }
    d.timeout(keys);
    for (const KeyEvent& k : keys) out += k.ch;
    return out;
}

void LineEditor::begin(std::u32string prompt, bool hide, std::vector<std::u32string> history) {
    prompt_ = std::move(prompt);
    hide_ = hide;
    history_ = std::move(history);
    buf_.clear();
    pos_ = 0;
    anchor_ = -1;
    undo_.clear();
    redo_.clear();
    hist_idx_ = 0;
    cursor_row_ = 0;
    redraw();
}

void LineEditor::insert_at(size_t at, const std::u32string& s) { buf_.insert(std::min(at, buf_.size()), s); }

void LineEditor::undo(std::vector<Record>& from, std::vector<Record>& to) {
    if (from.empty()) return;
    Record r = std::move(from.back());
    from.pop_back();
    const size_t at = std::min(r.offset, buf_.size());
    if (r.inserted) {
        const std::u32string removed = buf_.substr(at, r.inserted);
        buf_.erase(at, r.inserted);
        to.push_back({at, 0, removed});
        pos_ = at;
    } else {
        insert_at(at, r.text);
        to.push_back({at, r.text.size(), {}});
        pos_ = at + r.text.size();
    }
    anchor_ = -1;
}

bool LineEditor::delete_selected() {
    if (anchor_ < 0) return false;
    const size_t a = std::min(static_cast<size_t>(anchor_), buf_.size());
    const size_t first = std::min(a, pos_), n = std::max(a, pos_) - first;
    anchor_ = -1;
    if (n == 0) return false;
    push_undo({first, 0, buf_.substr(first, n)});
    buf_.erase(first, n);
    pos_ = first;
    redo_.clear();
    return true;
}

// Characters from the caret to the next word boundary: delimiters first,
// then word characters.
size_t LineEditor::word_distance(bool left) const {
    size_t n = 0;
    if (left) {
        size_t i = pos_;
        while (i > 0 && word_delimiter(buf_[i - 1])) i--, n++;
        while (i > 0 && !word_delimiter(buf_[i - 1])) i--, n++;
    } else {
        size_t i = pos_;
        while (i < buf_.size() && word_delimiter(buf_[i])) i++, n++;
        while (i < buf_.size() && !word_delimiter(buf_[i])) i++, n++;
    }
    return n;
}

void LineEditor::delete_text(bool backward, bool word) {
    if (delete_selected()) return;
    size_t n = 0;
    if (backward && pos_ > 0) {
        n = word ? word_distance(true) : 1;
        pos_ -= n;
    } else if (!backward && pos_ < buf_.size()) {
        n = word ? word_distance(false) : 1;
    }
    if (!n) return;
    push_undo({pos_, 0, buf_.substr(pos_, n)});
    buf_.erase(pos_, n);
    redo_.clear();
}

void LineEditor::select_to(size_t new_pos) {
    if (anchor_ < 0) anchor_ = static_cast<long>(pos_);
    pos_ = new_pos;
}

void LineEditor::move_caret(int n, const KeyEvent& e) {
    const long target = static_cast<long>(pos_) + n;
    if (target < 0 || target > static_cast<long>(buf_.size())) {
        if (!e.shift) anchor_ = -1;
        return;
    }
    size_t next = static_cast<size_t>(target);
    if (e.ctrl) next = n < 0 ? pos_ - word_distance(true) : pos_ + word_distance(false);
    if (e.shift) select_to(next);
    else anchor_ = -1, pos_ = next;
}

void LineEditor::fetch_history(bool prev) {
    if (hist_idx_ == 0) {
        hist_line_ = buf_;
        hist_pos_ = pos_;
    }
    if (!prev && hist_idx_ == 0) return;
    hist_idx_ = prev ? std::min(hist_idx_ + 1, history_.size()) : hist_idx_ - 1;
    if (hist_idx_ == 0) {
        buf_ = hist_line_;
        pos_ = std::min(hist_pos_, buf_.size());
    } else {
        buf_ = history_[hist_idx_ - 1];
        pos_ = buf_.size();
        redo_.clear();
    }
    anchor_ = -1;
}

void LineEditor::set_line(const std::u32string& s, size_t caret) {
    buf_ = s;
    pos_ = std::min(caret, buf_.size());
    redo_.clear();
}

void LineEditor::complete() {
    if (!host_.complete) return;
    const Completion c = host_.complete(buf_, pos_);
    anchor_ = -1;
    if (!c.ok) return bell();
    if (c.values.empty()) return;
    if (c.values.size() > 1) {
        // The prompt's row shows the candidates; the input comes below.
        std::string out = cursor_row_ > 0 ? csi(cursor_row_, 'A') : "";
        out += "\r\x1b[J" + to_utf8(prompt_);
        for (size_t i = 1; i < c.values.size(); i++) out += (i > 1 ? " " : "") + to_utf8(c.values[i]);
        out += "\r\n";
        host_.write(out);
        cursor_row_ = 0;
    }
    set_line(c.values[0], c.caret);
}

std::string LineEditor::render_input() const {
    if (hide_) return std::string(buf_.size(), '*');
    std::vector<std::string> sgr(buf_.size());
    std::vector<StyleRun> runs;
    if (host_.highlight && !buf_.empty() && host_.highlight(buf_, runs))
        for (const StyleRun& r : runs)
            for (size_t i = r.start; i < r.start + r.length && i < buf_.size(); i++) sgr[i] = r.sgr;
    if (anchor_ >= 0) {
        const size_t a = std::min(static_cast<size_t>(anchor_), buf_.size());
        for (size_t i = std::min(a, pos_); i < std::max(a, pos_); i++) sgr[i] += sgr[i].empty() ? "7" : ";7";
    }
    std::string out;
    const std::string* current = nullptr;
    for (size_t i = 0; i < buf_.size(); i++) {
        const std::string& s = sgr[i];
        if (!current || s != *current) {
            if (current && !current->empty()) out += "\x1b[0m";
            if (!s.empty()) out += "\x1b[" + s + "m";
            current = &s;
        }
        out += to_utf8(std::u32string(1, buf_[i]));
    }
    if (current && !current->empty()) out += "\x1b[0m";
    return out;
}

void LineEditor::redraw() {
    const int cols = std::max(1, host_.columns());
    std::string out = cursor_row_ > 0 ? csi(cursor_row_, 'A') : "";
    out += "\r\x1b[J" + to_utf8(prompt_) + render_input();
    Pos p;
    for (char32_t c : prompt_) p = advance(p, char_width(c), cols);
    Pos caret = p;
    for (size_t i = 0; i < buf_.size(); i++) {
        if (i == pos_) caret = p;
        p = advance(p, hide_ ? 1 : char_width(buf_[i]), cols);
    }
    if (pos_ >= buf_.size()) caret = p;
    if (p.col >= cols) {  // the cursor waits at the row's end: put it on the next row
        out += "\r\n";
        p = {p.row + 1, 0};
    }
    caret = normal(caret, cols);
    if (p.row > caret.row) out += csi(p.row - caret.row, 'A');
    out += '\r';
    if (caret.col > 0) out += csi(caret.col, 'C');
    cursor_row_ = caret.row;
    host_.write(out);
}

void LineEditor::finish() {
    const int cols = std::max(1, host_.columns());
    Pos p;
    for (char32_t c : prompt_) p = advance(p, char_width(c), cols);
    for (char32_t c : buf_) p = advance(p, hide_ ? 1 : char_width(c), cols);
    p = normal(p, cols);
    std::string out;
    if (p.row > cursor_row_) out += csi(p.row - cursor_row_, 'B');
    out += "\r\n";
    cursor_row_ = 0;
    host_.write(out);
}

EditResult LineEditor::key(const KeyEvent& e) {
    if (e.key == Key::end_of_input) return EditResult::end_of_input;
    if (e.key == Key::character && e.pasted) {
        // Pasted text goes in as it is; each line end submits its line.
        if (e.ch == '\r') return EditResult::submit;
        if (e.ch == '\t' || e.ch > 31) {
            delete_selected();
            insert_at(pos_, std::u32string(1, e.ch));
            push_undo({pos_, 1, {}});
            redo_.clear();
            pos_++;
        }
        redraw();
        return EditResult::editing;
    }
    switch (e.key) {
        case Key::left: move_caret(-1, e); break;
        case Key::right: move_caret(1, e); break;
        case Key::up: if (!e.ctrl) fetch_history(true); break;
        case Key::down: if (!e.ctrl) fetch_history(false); break;
        case Key::insert: break;  // no clipboard to paste from
        case Key::delete_: delete_text(false, e.ctrl); break;
        case Key::home:
            if (e.shift) select_to(0);
            else anchor_ = -1, pos_ = 0;
            break;
        case Key::end:
            if (e.shift) select_to(buf_.size());
            else anchor_ = -1, pos_ = buf_.size();
            break;
        case Key::end_of_input: break;
        case Key::character:
            switch (e.ch) {
                case '\r': case '\n': return EditResult::submit;
                case 8: case 127: delete_text(true, false); break;
                case 23: delete_text(true, true); break;  // Ctrl+W: a word back
                case '\t': if (!buf_.empty()) complete(); break;
                case 1: anchor_ = -1, pos_ = 0; break;
                case 5: anchor_ = -1, pos_ = buf_.size(); break;
                case 3: return EditResult::escape;  // Ctrl+C drops the line
                case 22: break;                     // Ctrl+V: no clipboard
                case 24:                            // Ctrl+X: the selection, else the whole input
                    if (!delete_selected()) buf_.clear(), pos_ = 0;
                    break;
                case 26: undo(undo_, redo_); break;
                case 25: undo(redo_, undo_); break;
                case 27: return EditResult::escape;
                case 12:
                    host_.write("\x1b[H\x1b[2J");
                    cursor_row_ = 0;
                    break;
                case 11:
                    // The text goes for good: older records would now
                    // point past the end of the input.
                    buf_.clear();
                    pos_ = 0;
                    anchor_ = -1;
                    undo_.clear();
                    redo_.clear();
                    break;
                case 4:
                    if (buf_.empty()) return EditResult::end_of_input;
                    break;
                default:
                    delete_selected();
                    if (e.ch > 31) {
                        insert_at(pos_, std::u32string(1, e.ch));
                        push_undo({pos_, 1, {}});
                        redo_.clear();
                        pos_++;
                    }
                    anchor_ = -1;
            }
            break;
    }
    redraw();
    return EditResult::editing;
}

}  // namespace oru::terminal
