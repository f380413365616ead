// datatype!: a value naming a type. Header type 1, payload word 1 the type
// number; the registry (registry.h) keeps each type's name and word. The
// action table is at the bottom of datatype.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::datatype {

inline Cell make(u32 t) { return cell::make(type::datatype, t); }
inline u32 get(const Cell& dt) { return dt.data1; }

// The name with its "!" ("integer!"): the registered one, else the fixed
// name of the type number (a value of a type with no handlers yet still has
// one); "" for a number that is no type.
const char* name_of(u32 t);

// Appends a datatype! cell to a block.
void make_in(const Cell& block, u32 t);
// Pushes a datatype! cell (to pass a type as an error argument).
Cell* push(u32 t);

// Interns the name of every registered type 1 .. highest and records its
// symbol id in the registry. Start-up calls it once symbols exist.
void make_words();
// The symbol id of a type's name, interned on first need.
u32 symbol_of(u32 t);

// Registers datatype! (no parent).
void init();

}  // namespace oru::datatype
