// Fuzz target: terminal bytes through the key decoder and the line editor.
//
// Input layout: byte 0 picks the terminal width (1-64 columns), byte 1 the
// size of the pieces the bytes arrive in (1-16, so sequences get split at
// every point); the rest is what the terminal sent. After each piece a
// pause may be reported (bit 0 of the piece's first byte), which turns a
// held ESC into the Escape key. Every key goes to a line editor, whose
// caret must stay within its text and whose completer answers from the
// input itself.
#include "console/key_decoder.h"
#include "console/line_editor.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace oru::terminal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int cols = 1 + data[0] % 64;
    const size_t piece = 1 + data[1] % 16;
    data += 2;
    size -= 2;
    std::string screen;
    EditorHost host;
    host.write = [&](const std::string& s) {
        screen += s;
        if (screen.size() > 1 << 16) screen.clear();
    };
    host.columns = [cols] { return cols; };
    host.complete = [](const std::u32string& line, size_t caret) {
        Completion c;
        c.ok = line.size() % 3 != 0;
        if (line.size() % 2) c.values = {line + U"x", U"a", U"b"};
        else if (!line.empty()) c.values = {line.substr(1)};
        c.caret = caret + 5;  // may lie past the end: the editor must clamp it
        return c;
    };
    host.highlight = [](const std::u32string& line, std::vector<StyleRun>& runs) {
        runs.push_back({line.size() / 2, line.size(), "1"});
        runs.push_back({line.size() + 3, 2, "4"});
        return true;
    };
    LineEditor editor(host);
    editor.begin(U">> ", false, {U"1 + 1", U"", U"print \"x\""});
    KeyDecoder decoder;
    std::vector<KeyEvent> keys;
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = at + piece <= size ? piece : size - at;
        decoder.feed(data + at, n, keys);
        if (data[at] & 1) decoder.timeout(keys);
        for (const KeyEvent& k : keys) {
            if (editor.key(k) != EditResult::editing) {
                editor.finish();
                editor.begin(U"[    ", (k.ch & 1) != 0, {});
            }
            if (editor.caret() > editor.text().size()) std::abort();
        }
        keys.clear();
    }
    decoder.timeout(keys);
    return 0;
}
