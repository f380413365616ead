// event!: what the GUI hands to face actors, and what scripts make for
// send-event.
//
// Header type 54. Payload word 1 the type code (1-35, below; 0 when a made
// event has none), word 3 the flags: the key's code point in bits 0-20 and
// the modifier and button bits above (flag table below). Word 2 depends on
// where the event came from:
//   - made by `make event!` (header bit 12, flag::event_keep): 0, or the node
//     of a block of four cells, face, window, offset, picked; the collector
//     keeps that block alive through the flag;
//   - filled by the GUI backend for an OS message (bit 12 clear): the
//     backend's own reference to the message, read only through the getters
//     it installs (`native`), which answer none until a GUI backend exists.
// The datatype is registered by the boot program after the base
// definitions, not by runtime start-up. The action table is at the bottom of
// event.cpp, after the routines event?, send-event-os and find-flag?.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/routine.h"

namespace oru::event {

constexpr u32 made_flag = flag::event_keep;  // header bit 12
constexpr u32 key_mask = 0x1FFFFF;           // a whole code point: bits 0-20

// ORDER EVENT TYPES: the code of each is its position from 1.
#define ORU_EVENT_TYPES(X)                                                                                    \
    X("down") X("up") X("mid-down") X("mid-up") X("alt-down") X("alt-up") X("aux-down") X("aux-up")          \
    X("click") X("dbl-click") X("wheel") X("over") X("key") X("key-down") X("key-up") X("ime") X("focus")    \
    X("unfocus") X("enter") X("zoom") X("pan") X("rotate") X("two-tap") X("press-tap") X("select")          \
    X("change") X("menu") X("close") X("move") X("resize") X("moving") X("resizing") X("time")              \
    X("drawing") X("scroll")
constexpr i32 type_count = 35;

// The flag bits and the words of a flags block, in the order a flags block
// lists them.
#define ORU_EVENT_FLAGS(X)                                                                                    \
    X(0x04000000u, "away") X(0x02000000u, "down") X(0x01000000u, "mid-down") X(0x00800000u, "alt-down")     \
    X(0x00400000u, "aux-down") X(0x10000000u, "control") X(0x20000000u, "shift") X(0x40000000u, "alt")      \
    X(0x80000000u, "command")

// Field numbers of pick and paths: 1 type, 2 face, 3 window, 4 offset,
// 5 key, 6 picked, 7 flags, 8-14 the logic flags away? down? mid-down?
// alt-down? aux-down? ctrl? shift?, 15 orientation.
constexpr i32 field_count = 15;

// Readers of an OS event's fields, installed by the GUI backend. Each pushes
// a new value on the data stack and returns it. The defaults push none.
struct Native {
    Cell* (*face)(const Cell& event);
    Cell* (*window)(const Cell& event);
    Cell* (*offset)(const Cell& event);
    Cell* (*key)(const Cell& event);
    Cell* (*picked)(const Cell& event);
    Cell* (*orientation)(const Cell& event);
};
extern Native native;

// Sends a made event to its face's window (posted when queued); true when
// it was delivered. The GUI backend installs it; until then send-event-os
// answers false: no window exists that could receive the event.
extern bool (*send_os)(const Cell& event, bool queued);

// The type code of a word (any word kind), 0 when it names no event type.
i32 type_code(const Cell& word);

// The routines bound to words (routine.h entries that read their argument
// cells at stack::arguments and set the result slot themselves):
//   event? value: true for an event!;
//   send-event-os event queued?: send_os's answer;
//   find-flag? facet flag: true when the facet is the flag word, or a block
//   holding it as a word or lit-word (spellings compared without case).
routine::Machine event_q(const routine::Machine* args, i32 count);
routine::Machine send_event_os(const routine::Machine* args, i32 count);
routine::Machine find_flag_q(const routine::Machine* args, i32 count);

// Registers event! and interns its words. Needs the symbol table.
void init();

}  // namespace oru::event
