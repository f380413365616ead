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
// The road a scheme plugs into (file, process, HTTP services and the like):
// - in the language: an object of functions named after the actions, as the
//   `actor` of a scheme made from `system/standard/scheme` and inserted in
//   `system/schemes` (name and scheme pairs);
// - in C++: add_native_actor registers an ActionTable of handlers (only the
//   members append to write are read) and answers the handle! naming it;
//   add_scheme registers a scheme with that actor. The handlers receive the
//   port as their first cell, exactly as a datatype's handlers receive their
//   value, and keep their state in the port's fields (state, data, extra);
// - make_port makes a port from a spec (a url! or file! through the
//   decode_url hook the url! module installs), and the port's actions run
//   through the action dispatcher as for any value.
//
// Forwarding runs language code, which may move any buffer: the arguments
// are pushed on the data stack before the actor is looked up, and nothing
// keeps a buffer address across the call. The action table is at the bottom
// of port.cpp.
#pragma once

#include "runtime/cell.h"
#include "runtime/registry.h"

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

// Registers a native actor: the table's members append (slot 25) to write
// (slot 62) but open?, an absent one meaning access/no-port-action. The
// table is copied. Answers the handle! that names it (class 0, the actor's
// index as the handle value in payload word 2, no resource slot), which
// goes into a scheme's `actor` field. At most max_native_actors of them;
// one more is internal/no-memory.
constexpr i32 max_native_actors = 64;
Cell add_native_actor(const ActionTable& table);

// The handlers, in slot order from append, of the native actor a handle!
// names; null when it names none (another kind of handle).
const ActionEntry* native_actor(const Cell& handle);

// Registers a scheme in front of `system/schemes`: a new object from
// `system/standard/scheme` with its name (a word), title (a string, when
// given) and actor (an object or a handle from add_native_actor). Needs
// the system object; without it, internal/not-done.
void add_scheme(const char* name, const char* title, const Cell& actor);

// Makes a port from a spec as `make port!` does (a block, an object, or a
// url!/file! value when decode_url is installed); pushes it.
Cell* make_port(const Cell& spec);

// Installed by the url! module: pushes a block of `system/standard/url-parts`
// field settings (`scheme: 'file path: "/tmp/"`, ...) decoded from a url! or
// file! value. Until then such a spec has no scheme (access/no-scheme).
using DecodeUrl = Cell* (*)(const Cell& url);
extern DecodeUrl decode_url;

// Registers port! (type 48, parent object!) and installs native_actor as
// the action dispatcher's table lookup.
void init();

}  // namespace oru::port
