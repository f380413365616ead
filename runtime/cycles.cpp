// The mold cycle stack, indentation and pattern fill. The stack is a fixed
// array of nodes: it never moves, and nodes stay valid across collections
// except when node compaction renumbers them, which `remap` follows.
#include "runtime/cycles.h"

#include "runtime/datatypes/string.h"
#include "runtime/fire.h"

#include <cstring>

namespace oru::cycles {

namespace {
Node entries[capacity];
i32 top = 0;  // entries in use
}  // namespace

void push(Node node) {
    entries[top++] = node;
    if (top == capacity) {
        top = 0;
        fire(ErrorId::internal_too_deep);
    }
}

void pop() {
    if (top > 0) top--;
}

void drop(i32 n) {
    if (n <= 0) return;
    top = n >= top ? 0 : top - n;
}

void reset() { top = 0; }

bool find(Node node) {
    for (i32 i = 0; i < top; i++)
        if (entries[i] == node) return true;
    return false;
}

i32 depth() { return top; }

void remap(Node (*lookup)(Node old_node)) {
    for (i32 i = 0; i < top; i++)
        if (Node moved = lookup(entries[i])) entries[i] = moved;
}

namespace {

struct Marker {
    const char* mold;
    i32 length;  // of the mold marker
};

// The molded marker of a type, or null for a type that has none.
const Marker* marker_of(u32 t) {
    static constexpr Marker block{"[...]", 5}, paren{"(...)", 5}, map{"#[...]", 6},
        object{"make object! [...]", 18}, path{"...", 3};
    switch (t) {
        case type::block:
        case type::hash: return &block;
        case type::paren: return &paren;
        case type::map: return &map;
        case type::object: return &object;
        case type::path:
        case type::lit_path:
        case type::set_path:
        case type::get_path: return &path;
        default: return nullptr;
    }
}

}  // namespace

bool mold_marker(const Cell& value, const Cell& buffer, i32& budget, bool mold) {
    const Marker* m = marker_of(cell::type_of(value));
    if (!m || !find(identity(value))) return false;
    if (mold) {
        string::concatenate_literal(buffer, m->mold);
        budget -= m->length;
    } else {
        string::concatenate_literal(buffer, "...");
        budget -= 3;
    }
    return true;
}

}  // namespace oru::cycles

namespace oru {

i32 mold_indent(const Cell& buffer, i32 level, i32 budget) {
    for (i32 i = 0; i < level; i++) string::concatenate_literal(buffer, "    ");
    i64 left = static_cast<i64>(budget) - 4 * static_cast<i64>(level > 0 ? level : 0);
    return left < INT32_MIN ? INT32_MIN : static_cast<i32>(left);
}

void fill(void* address, size_t unit_size, size_t count) {
    if (unit_size == 0 || count < 2) return;
    u8* p = static_cast<u8*>(address);
    const size_t total = unit_size * count;
    size_t done = unit_size;
    // Each copy reads only bytes already filled, so the runs never overlap.
    while (done <= total - done) {
        std::memcpy(p + done, p, done);
        done *= 2;
    }
    std::memcpy(p + done, p, total - done);
}

}  // namespace oru
