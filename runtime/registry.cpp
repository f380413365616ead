// Datatype registry: the datatype table and the per-type action rows.
#include "runtime/registry.h"

#include "runtime/calls.h"
#include "runtime/console.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/system.h"

#include <cstdlib>
#include <cstring>

namespace oru::registry {

DatatypeEntry datatypes[table_types];
ActionEntry actions[table_types * row_size];
u32 highest_type = 0;

void register_datatype(u32 type, u32 parent, const char* name, const ActionEntry* entries, int count) {
    if (count != static_cast<int>(action::count)) {
        // A module with the wrong row is a programming error: report it and
        // stop with a failure status, before anything runs on a bad table.
        TypedItem lines[] = {
            {TypedItem::text, {.s = "*** Datatype Error: invalid actions count for type: "}},
            {TypedItem::integer, {.i = static_cast<i32>(type)}},
            {TypedItem::text, {.s = "\n*** Found: "}},
            {TypedItem::integer, {.i = count}},
            {TypedItem::text, {.s = "\n*** Expected: "}},
            {TypedItem::integer, {.i = static_cast<i32>(action::count)}},
        };
        print_line_typed(6, lines);
        std::_Exit(1);
    }
    if (type == 0 || type >= table_types || parent >= table_types) {
        console::print_text("*** Datatype Error: invalid type number\n");
        std::_Exit(1);
    }
    DatatypeEntry& d = datatypes[type];
    d.name = name;
    size_t len = std::strlen(name);
    d.name_length = len ? static_cast<u32>(len - 1) : 0;
    // Types registered once symbols exist (event! by the boot program) get
    // their word now; the earlier ones get it from datatype::make_words.
    d.word = root_block() && symbol::table ? static_cast<u32>(symbol::make(name)) : 0;
    ActionEntry* row = &actions[type * row_size];
    const ActionEntry* parent_row = &actions[parent * row_size];
    for (u32 slot = 0; slot < action::count; slot++) {
        ActionEntry e = entries[slot];
        if (e == inherit_entry) e = parent ? parent_row[slot] : nullptr;
        row[slot] = e;
    }
    if (type > highest_type) highest_type = type;
}

void add(u32 type, u32 parent, const char* name, const ActionTable& table) {
    ActionEntry entries[action::count];
#define ORU_ACTION_ENTRY(n, member, spelling, F)                                                   \
    entries[n - 1] = table.member.from_parent ? inherit_entry : reinterpret_cast<ActionEntry>(table.member.fn);
    ORU_ACTIONS(ORU_ACTION_ENTRY)
#undef ORU_ACTION_ENTRY
    register_datatype(type, parent, name, entries, static_cast<int>(action::count));
}

}  // namespace oru::registry
