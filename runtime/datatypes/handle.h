// handle!: an operating-system object held by a value (a window, a font, a
// monitor), opaque to scripts.
//
// Header type 46 (parent integer!, though it inherits nothing); payload word
// 1 the class, word 2 the handle value, word 3 the external-resource slot
// that keeps the object (resources.h), or -1 for none. A cell never holds an
// address: the value is a 32-bit index into a table of the layer that made
// the handle. The collector marks the slot of every handle it reaches, so
// the object lives as long as some handle refers to it. Scripts only see
// handles made by the runtime (null-handle, GUI routines): there is no make.
// The action table is at the bottom of handle.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::handle {

// ORDER HANDLE CLASSES: the class number is stored in payload word 1.
#define ORU_HANDLE_CLASSES(X) X(null, "null") X(fd, "fd") X(monitor, "monitor") X(window, "window") \
    X(font, "font") X(rich_text, "rich-text")

namespace klass {
#define ORU_HANDLE_CLASS_ENUM(name, spelling) name,
enum : u32 { ORU_HANDLE_CLASSES(ORU_HANDLE_CLASS_ENUM) count };
#undef ORU_HANDLE_CLASS_ENUM
}  // namespace klass

// The spelling of a class ("" beyond the table).
const char* class_name(u32 k);

inline Cell make(u32 value, u32 k) { return cell::make(type::handle, k, value, 0xFFFFFFFFu); }
inline u32 class_of(const Cell& h) { return h.data1; }
inline u32 value_of(const Cell& h) { return h.data2; }
inline i32 resource_of(const Cell& h) { return static_cast<i32>(h.data3); }

// The handle in the first argument slot (routines hand it back there).
void box(u32 value, u32 k);
// Fills a cell, or appends a handle to a block.
Cell* make_at(Cell& c, u32 value, u32 k);
void make_in(const Cell& block, u32 value, u32 k);
// The null handle (value 0, class null) of the start-up code.
inline Cell boot_make() { return make(0, klass::null); }

// Registers handle! (type 46, parent integer!).
void init();

}  // namespace oru::handle
