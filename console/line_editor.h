// The console's line editor for a terminal: the input line, its caret and
// keyboard selection, undo and redo, history browsing, completion, and the
// drawing of the prompt and input with colour.
//
// The editor is a state machine fed with key events (key_decoder.h); it
// writes its drawing through the Host and never reads the terminal itself,
// so the same code runs on a real terminal and in tests. Positions are
// counted in code points of the input; the drawing counts display columns
// (wcwidth), and the terminal cursor's row below the prompt's first row is
// the one piece of screen state it keeps between drawings.
#pragma once

#include "console/key_decoder.h"

#include <functional>
#include <string>
#include <vector>

namespace oru::terminal {

// One coloured run of the input: [start, start + length) in code points,
// with the SGR parameters that colour it ("38;2;r;g;b;1").
struct StyleRun {
    size_t start = 0;
    size_t length = 0;
    std::string sgr;
};

// What completion answers: nothing, one new line, or a new line and the
// candidates to show. `caret` is the new caret offset in `line`.
struct Completion {
    bool ok = false;  // false: the completer failed (the editor rings the bell)
    std::vector<std::u32string> values;  // empty, or the new line then the candidates
    size_t caret = 0;
};

struct EditorHost {
    std::function<void(const std::string&)> write;
    std::function<int()> columns;
    // Either may be empty (not bound): Tab then does nothing, and the input
    // is drawn without colour.
    std::function<Completion(const std::u32string& line, size_t caret)> complete;
    std::function<bool(const std::u32string& line, std::vector<StyleRun>& runs)> highlight;
};

enum class EditResult { editing, submit, escape, end_of_input };

class LineEditor {
public:
    explicit LineEditor(EditorHost host) : host_(std::move(host)) {}

    // Starts an input: the prompt (text already on the line plus the
    // question), hidden input or not, and the history (newest first).
    void begin(std::u32string prompt, bool hide, std::vector<std::u32string> history);
    EditResult key(const KeyEvent& e);
    // Draws prompt and input again (after a resize, or to show the start).
    void redraw();
    // Moves the cursor below the input and ends its line.
    void finish();

    const std::u32string& text() const { return buf_; }
    size_t caret() const { return pos_; }

private:
    struct Record {
        size_t offset;
        size_t inserted;      // characters inserted at offset, or
        std::u32string text;  // the text deleted there (inserted == 0)
    };

    void insert_at(size_t at, const std::u32string& s);
    void push_undo(Record r) { undo_.push_back(std::move(r)); }
    void undo(std::vector<Record>& from, std::vector<Record>& to);
    bool delete_selected();
    void delete_text(bool backward, bool word);
    size_t word_distance(bool left) const;
    void move_caret(int n, const KeyEvent& e);
    void select_to(size_t new_pos);
    void fetch_history(bool prev);
    void complete();
    void set_line(const std::u32string& s, size_t caret);
    std::string render_input() const;
    void bell() { host_.write("\a"); }

    EditorHost host_;
    std::u32string prompt_;
    std::u32string buf_;
    size_t pos_ = 0;
    bool hide_ = false;
    long anchor_ = -1;  // selection anchor offset, -1: none
    std::vector<Record> undo_, redo_;
    std::vector<std::u32string> history_;
    size_t hist_idx_ = 0;
    std::u32string hist_line_;
    size_t hist_pos_ = 0;
    int cursor_row_ = 0;  // terminal cursor's row below the prompt's first row
};

// Display width of a code point (wcwidth; 1 for what it does not know).
int char_width(char32_t c);
// The word delimiters of word moves and deletions.
bool word_delimiter(char32_t c);
// SGR parameters for a colour: 24-bit when truecolor is set, else the
// nearest of the 256-colour palette; black (0.0.0) is the default colour.
std::string colour_sgr(int r, int g, int b, bool truecolor);

std::string to_utf8(const std::u32string& s);
std::u32string from_utf8(const std::string& s);

}  // namespace oru::terminal
