// port!: objects whose series and I/O actions an actor carries out.
//
// A port value is an object cell of type 48 (context node, class id 2, the
// change-handler record) made from `system/standard/port`: its fields spec,
// scheme, actor, awake, state, data and extra. `make port!` finds the scheme
// named by the spec in `system/schemes` and copies the scheme's actor into
// the port. Every action from append (slot 25) to write (slot 62) but open?
// is forwarded to the actor: an object actor's function of the action's
// name is called with the port and the action's arguments; a handle! actor
// names a native table of handlers, which the action dispatcher calls
// directly (actions::port_action) so that those ports never reach the
// handlers here. reflect, eval-path and compare are object!'s.
//
// Forwarding runs language code, which may move any buffer: the arguments
// are pushed on the data stack before the actor is looked up, and nothing
// keeps a buffer address across the call. The action table is at the bottom
// of port.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::port {

// The class id of every port.
constexpr i32 class_id = 2;

// Calls an actor function (a function!) in a call frame named `name` with
// args[0..count) as its parameter slots in order: its arguments, then for
// each refinement its flag followed by the refinement's arguments. Slots the
// function lacks are dropped; slots beyond count are false for a refinement
// and none for an argument. The args lie on the data stack. Returns the
// function's result. Installed by the interpreter at start-up; until then
// port actions raise internal/not-done.
using ActorCall = Cell (*)(const Cell& fn, const Cell& name, Cell* args, i32 count);
extern ActorCall call_actor;

// The value of the port's `actor` field, none when it has none.
Cell actor_of(const Cell& port);

// Registers port! (type 48, parent object!).
void init();

}  // namespace oru::port
