// The kept `system` object and the field reads through it. The object lives
// in one cell of the global slot table; the slot number is valid only under
// the memory manager it was taken in (a runtime started again has a new
// table).
#include "runtime/system_object.h"

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/resources.h"

namespace oru::system_object {

namespace {

i32 slot = 0;       // 1-based cell of the slot table, 0 when none is kept
u32 made_in = ~0u;  // memory generation of the slot

bool kept_q() { return slot && made_in == memory::generation && slot_table::live_block(); }

}  // namespace

void set(const Cell& obj) {
    const Cell v = obj;
    if (kept_q()) {
        if (cell::type_of(v) == type::object) {
            *slot_table::get(slot) = v;
            return;
        }
        slot_table::free(slot);
        slot = 0;
        return;
    }
    slot = 0;
    if (cell::type_of(v) != type::object || !slot_table::live_block()) return;
    slot = slot_table::add(v);
    made_in = memory::generation;
}

const Cell* get() {
    if (!kept_q()) return nullptr;
    const Cell* c = slot_table::get(slot);
    return cell::type_of(*c) == type::object && c->data1 ? c : nullptr;
}

bool Path::resolve() {
    const u32 count = memory::buffer(symbol::block)->length();
    bool complete = true;
    for (int i = 0; i < count_; i++) complete = complete && ids_[i];
    if (generation_ == symbol::generation && (complete || count == symbols_)) return complete;
    complete = true;
    for (int i = 0; i < count_; i++) {
        ids_[i] = symbol::find(names_[i]);
        complete = complete && ids_[i];
    }
    generation_ = symbol::generation;
    symbols_ = count;
    return complete;
}

namespace {

// The field of the symbol in the object held by *at, or null.
const Cell* step(const Cell* at, i32 sym) {
    if (!at || !sym || cell::type_of(*at) != type::object || !at->data1) return nullptr;
    const Node ctx = at->data1;
    const i32 index = context::find_word(ctx, sym, true);
    return index < 0 ? nullptr : context::values(ctx) + index;
}

}  // namespace

const Cell* select(Path& path) {
    const Cell* at = get();
    if (!at || !path.resolve()) return nullptr;
    for (int i = 0; i < path.count_ && at; i++) at = step(at, path.ids_[i]);
    return at;
}

const Cell* select(std::initializer_list<const char*> names) {
    const Cell* at = get();
    for (const char* name : names) {
        if (!at) return nullptr;
        at = step(at, symbol::find(name));
    }
    return at;
}

i32 integer_at(Path& path, i32 fallback) {
    const Cell* v = select(path);
    return v && cell::type_of(*v) == type::integer ? static_cast<i32>(v->data2) : fallback;
}

}  // namespace oru::system_object
