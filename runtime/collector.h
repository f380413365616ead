// The compacting collector.
//
// A cycle marks every buffer reachable from the roots (root block, symbol
// block and table, ownership table, data stack, call frames, global context,
// the scratch series of the block, series and hash-table modules, the global
// slot table, the external-resource slots and every registered mark
// callback), releases what is unmarked and slides the live buffers of each
// series frame down, so that any allocation may move any buffer in a series
// frame. Big buffers (own OS block) and fixed buffers never move. Marking is
// table-driven by type (see `mark_cell` in collector.cpp): a new type holding
// nodes adds its row there.
//
// Cycles run only when enabled, inside a series allocation that finds no
// room (or at every series allocation in stress mode, ORU_GC_STRESS=1), or on
// request (`recycle`). "No room" counts the room a cycle keeps for the next:
// emptied frames it does not release and a budget of new frames, in
// proportion to the live data (memory::min_free_room), so that the work of
// the cycles stays linear in what a program allocates. Big buffers also
// collect first only once that budget cannot cover them.
//
// Machine frames are not scanned: C++ code keeps the values it needs on the
// data stack or in registered roots, and keeps nodes, never buffer
// addresses, across calls that can allocate. For that reason
// automatic cycles never renumber nodes; node-frame evacuation runs only in
// `compact_nodes`, at a point where no C++ frame holds a node.
#pragma once

#include "runtime/cell.h"

namespace oru::collector {

constexpr i32 max_markers = 100;
constexpr u32 age_threshold = 5;  // frames unchanged for threshold + 1 cycles are evacuated

// Counters 0 and the mark callbacks forgotten (last step of start-up).
void init();

// Collects when collection is enabled; otherwise does nothing.
void collect_if_enabled();

// One full cycle, whether enabled or not (the recycle native); returns the
// completed cycle count. Nothing happens while a cycle runs.
u32 recycle();

// A cycle that also evacuates sparse, stable node frames, renumbering their
// nodes. Only for points where no C++ frame holds a node across the call.
u32 compact_nodes();

// Completed collection cycles; cycles that moved nodes.
u32 cycles();
u32 nodes_cycles();

// True when stress mode is on and collection is enabled.
bool stress();
// True when stress mode is on (ORU_GC_STRESS, or set_stress), whatever the
// state of collection.
bool stress_set();
// Stress mode's cycle, asked for at every series allocation. A cycle costs
// in proportion to the live data, so one at every allocation would make a
// program whose live data grows with its work (a deep nesting being loaded)
// quadratic. Each allocation therefore earns a credit of cycle work (in
// bytes), and a cycle runs once the credit covers the live bytes the last
// cycle found: at every allocation while they are below the credit (any
// small program), at every live / credit allocations beyond, so that a
// stress run costs at most a constant factor more per allocation.
void stress_collect();
constexpr u64 default_stress_credit = u64{1} << 20;  // above the live data of a small script
// Sets the credit an allocation earns (tests); returns the previous one.
u64 set_stress_credit(u64 bytes);
// The live bytes all cycles found, summed: their work, since a cycle marks
// and moves what is live.
u64 work_done();
// Forces stress mode on or off (tests); returns the previous setting.
bool set_stress(bool on);

// Turns collection on or off; returns the previous state.
bool enable(bool on);
bool enabled_q();

// Node compaction on or off (held off around hash-index rebuilds); returns
// the previous state.
bool nodes_enabled(bool on);

// True while a cycle runs.
bool active();

// Mark callbacks, called in registration order at the end of root marking.
// At most max_markers; one more raises internal/limit-hit. Unregistering
// leaves an empty entry.
using Marker = void (*)();
void register_marker(Marker fn);
void unregister_marker(Marker fn);

// For mark callbacks. The slot forms replace a node that moved.
// Marks the buffer of *slot; true when it was not marked yet.
bool mark_node(Node* slot);
void unmark_node(Node n);
// Marks the values of the cells [first, end) by type.
void mark_block(Cell* first, Cell* end);
// Marks the node and, when newly marked, its cells.
void mark_values(Node* slot);
// Marks a context: its word list, its values (unless on the stack) and its owner.
void mark_context(Node* slot);
// Marks what one cell refers to, by its type.
void mark_cell(Cell& c);

}  // namespace oru::collector
