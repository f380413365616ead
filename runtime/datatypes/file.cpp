// file!: mold, the OS form of a name, and the file actions, which call the
// io layer's services.
//
// Mold reads the characters through the value's node one at a time: the
// buffer it appends to may grow, and a collection then moves every buffer.
#include "runtime/datatypes/file.h"

#include "codecs/url_text.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/url.h"
#include "runtime/fire.h"
#include "runtime/platform/platform.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"

#include <algorithm>

namespace oru::file {

Cell* push(const Cell& value) { return stack::push(value); }

namespace {

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

// A character below 128 outside url-safe (the space, quotes, "%", controls,
// DEL ...) would end or change the bare form: the name is then quoted.
bool needs_quotes(const Cell& file, i32 head, i32 len) {
    for (i32 i = 0; i < len; i++) {
        const u32 c = string::rs_abs_at(file, head + i);
        if (c < 128 && !url::plain_q(static_cast<u8>(c), 255)) return true;
    }
    return false;
}

// "%" and the name, bare or between double quotes with the escapes the
// quoted form reads back (^^, ^(22) for a double quote, ^/ ^- ^(XX) for
// controls); %"" when empty.
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    const Cell file = *value;
    const Node bn = cell::node(*buffer);
    const i32 len = string::rs_length_q(file);
    const i32 head = cell::head_index(file);
    const i32 n = part ? std::clamp(limit, 0, len) : len;
    string::append_char(bn, '%');
    const bool quoted = len == 0 || needs_quotes(file, head, len);
    if (quoted) string::append_char(bn, '"');
    for (i32 i = 0; i < n; i++) {
        const u32 c = string::rs_abs_at(file, head + i);
        // A double quote would end the literal whatever precedes it: it
        // goes as a code escape.
        if (quoted && c == '"') string::concatenate_literal(*buffer, "^(22)");
        else if (quoted) string::append_escaped_char(bn, c, false);
        else string::append_char(bn, c);
    }
    if (quoted) string::append_char(bn, '"');
    return limit - n - 1;
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, Cell*, Cell* as) {
    if (as || !url::services.read_file) not_done();
    return url::services.read_file(source, seek, part, binary, lines);
}

Cell* write(Cell* destination, Cell* data, bool binary, bool lines, Cell*, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as) {
    if (allow || as || !url::services.write_file) not_done();
    url::services.write_file(destination, data, seek, part, binary, append, lines);
    return stack::push(unset::value);
}

Cell* delete_(Cell* file) {
    if (!url::services.delete_file) not_done();
    return url::services.delete_file(file);
}

Cell* query(Cell* file) {
    if (!url::services.query_file) not_done();
    return url::services.query_file(file);
}

Cell* rename(Cell* from, Cell* to) {
    if (!url::services.rename_file) not_done();
    return url::services.rename_file(from, to);
}

// No open: a file is read and written whole through the services.
constexpr ActionTable file_actions = {
    .make = inherit, .to = inherit, .form = inherit, .mold = mold, .eval_path = inherit, .compare = inherit,
    .append = inherit, .at = inherit, .back = inherit, .change = inherit, .clear = inherit, .copy = inherit,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = inherit,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .remove = inherit,
    .reverse = inherit, .select = inherit, .skip = inherit, .swap = inherit, .tail = inherit, .tail_q = inherit,
    .take = inherit, .delete_ = delete_, .modify = inherit, .query = query, .read = read, .rename = rename,
    .write = write,
};

}  // namespace

bool dir_q(const Cell& file) {
    const i32 len = string::rs_length_q(file);
    const i32 head = cell::head_index(file);
    auto at_end = [&](i32 k) { return len >= k ? string::rs_abs_at(file, head + len - k) : 0u; };
    if (len == 0) return false;
    if (at_end(1) == '/') return true;
    // "." or ".." alone or after a "/".
    i32 dots = at_end(1) == '.' ? (at_end(2) == '.' ? 2 : 1) : 0;
    return dots > 0 && (len == dots || at_end(dots + 1) == '/');
}

std::string get_current_dir() {
    std::string dir = platform::get_current_dir();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

std::string to_local_path(const Cell& file, bool full) {
    stack::Mark mark;
    Cell* copy = stack::push(file);
    i32 length = -1;
    const u8* bytes = unicode::to_utf8(*copy, &length);
    std::string path(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    if (full && (path.empty() || path[0] != '/')) path = get_current_dir() + path;
    return path;
}

void init() { registry::add(type::file, type::url, "file!", file_actions); }

}  // namespace oru::file
