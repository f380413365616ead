// Memory manager: nodes, node frames, series frames and series buffers.
//
// Values that own variable-size data refer to a node: a 32-bit id whose slot
// holds the address of the current series buffer. Buffers are carved from
// series frames (OS blocks of 1 or 2 MiB) by a pointer bump, or get an OS
// block of their own when they need 2 MiB or more (big buffers). Only the
// collector frees buffers, and it may slide any buffer in a series frame to a
// new address: never keep a buffer address across a call that can allocate;
// keep the node and fetch the address again with memory::buffer().
//
// Node ids: bits 14 and up give the node frame number (from 1), bits 0-13 the
// slot. All node slots live in one reserved virtual region indexed by id, so
// reading a node is one load; a node frame is a 16384-slot stretch of that
// region of which slots 1 to 10000 are committed and used (slot 0 is left out
// so that no node id is 0). The region has room for max_node_frames frames
// (2 GiB of addresses, committed only as frames are made) unless the process
// has an address-space limit: then for frames_limit, an eighth of the limit.
#pragma once

#include "runtime/cell.h"

#include <cstddef>

namespace oru {

// Buffer flag bits.
namespace sflag {
constexpr u32 unit_mask = 0x1F;       // bits 0-4: bytes per unit
constexpr u32 owned = 0x20000;        // bit 17: tracked by the ownership table
constexpr u32 complement = 0x80000;   // bit 19: bitset! past its bits, every number is a member
constexpr u32 fixed = 0x100000;       // bit 20: heap block outside the frames, never moved
constexpr u32 big = 0x1000000;        // bit 24: own OS block
constexpr u32 mark = 0x08000000;      // bit 27: collector mark
constexpr u32 mid_head = 0x10000000;  // bit 28: head placed mid-buffer at allocation
constexpr u32 allocated = 0x20000000; // bit 29: set on every buffer at allocation
constexpr u32 in_use = 0x80000000;    // bit 31: cleared once replaced by a larger buffer
}  // namespace sflag

// A series buffer: a 20-byte header, then `size` bytes of data. Head and tail
// are byte offsets from the data start.
struct SeriesBuffer {
    u32 flags;
    Node node;  // back-link to the owning node, 0 once replaced
    i32 size;   // bytes in the data area, a multiple of 16
    u32 head;
    u32 tail;

    u8* data() { return reinterpret_cast<u8*>(this) + sizeof(SeriesBuffer); }
    u8* head_ptr() { return data() + head; }
    u8* tail_ptr() { return data() + tail; }
    u8* end_ptr() { return data() + size; }
    u32 unit() const { return flags & sflag::unit_mask; }
    // Used length in units.
    u32 length() const { return unit() ? (tail - head) / unit() : 0; }
    Cell* cells() { return reinterpret_cast<Cell*>(head_ptr()); }
};
static_assert(sizeof(SeriesBuffer) == 20, "buffer header is 20 bytes");

namespace memory {

constexpr u32 node_frame_capacity = 10000;
constexpr u32 node_slot_bits = 14;          // room for 16384 slots a frame
constexpr u32 max_node_frames = 1u << 14;   // 163,840,000 nodes at most
constexpr u32 buffer_overhead = 24;         // header + 4 bytes of slack, per buffer in a frame
constexpr u32 initial_frame_size = 0x100000;
constexpr u32 max_frame_size = 0x200000;    // also the big-buffer threshold
constexpr i32 min_frame_room = 0xCCCC;      // a found frame with less room is passed over
constexpr u32 big_header = 28;              // {next, link, size} and padding before a big buffer

// Free room kept after a cycle. A cycle costs time in proportion to the live
// bytes it marks and moves. Were the next cycle to come as soon as the room
// one cycle left is used up, a program whose live data only grows (a large
// load) would run a cycle for every frame it fills, each marking all that it
// made so far: quadratic in its live size. So a cycle leaves room for at
// least live x free_ratio_num / free_ratio_den bytes, and never less than
// min_free_room, before the next one: cycles then come at growing live
// sizes, and their work is amortised against the allocation between them.
// The room is kept as emptied frames the cycle does not release, plus a
// budget (Record::s_budget) of frames and big buffers that the allocator may
// take from the OS without collecting first. A request the budget cannot
// cover, or one the OS refuses, collects first as without a budget, so the
// heap stays within live data + room + one request.
// Ratio 1 (the heap peaks near twice its live data) took the lexer's load of
// a 20 MB source with collection on from a fifth to three quarters of its
// rate with collection held off (3 cycles instead of 26), and the collector
// benchmark (100 MB live, 1.2 GB of garbage) from 314 cycles to 26, at a
// peak of 215 MB instead of 129 MB. Ratio 1/2 gave a load at two thirds of
// the held-off rate and 49 cycles at 178 MB; ratio 2, a load at 85% and 14
// cycles, but at 302 MB. 8 MiB keeps a program with little live data from
// collecting every megabyte it allocates.
constexpr u64 free_ratio_num = 1;
constexpr u64 free_ratio_den = 1;
constexpr u64 min_free_room = u64{8} << 20;

// A node frame's record. The slots themselves live in the node region.
struct NodeFrame {
    u32 number;         // frame number (node id >> 14); 0 when the record is unused
    NodeFrame* next;
    NodeFrame* prev;
    u32 capacity;
    Node free;          // first free node, 0 when full
    u32 used;
    u32 stamp;          // collector cycle when made
    u32 previous_used;
    u32 history;
    bool releasing;
};

// A series frame: header, then buffers back to back (each size + 24 bytes).
struct SeriesFrame {
    SeriesFrame* next;
    SeriesFrame* prev;
    u64 size;           // bytes including the header
    u8* top;            // next free byte
    u8* end;            // one past the frame
    u8* first() { return reinterpret_cast<u8*>(this) + header_size(); }
    static constexpr size_t header_size() { return 60; }  // keeps the first buffer's data 16-aligned
};

// A big buffer's OS block starts with this header, then the series buffer.
// Big buffers form one list in creation order from record.b_head.
struct BigHeader {
    BigHeader* next;
    BigHeader* link;    // stays null
    u64 size;           // size of the block request
    // The padding keeps the buffer's data 16-aligned.
    SeriesBuffer* buffer() { return reinterpret_cast<SeriesBuffer*>(reinterpret_cast<u8*>(this) + big_header); }
};

// The memory record.
struct Record {
    u64 total = 0;                       // bytes taken from the OS
    NodeFrame* n_head = nullptr;         // node frames, creation order
    NodeFrame* n_tail = nullptr;
    NodeFrame* n_active = nullptr;
    SeriesFrame* s_head = nullptr;       // series frames, sorted by address
    SeriesFrame* s_active = nullptr;
    SeriesFrame* s_tail = nullptr;
    u32 s_start = initial_frame_size;
    u32 s_size = initial_frame_size;     // next series frame size
    u32 s_max = max_frame_size;
    BigHeader* b_head = nullptr;
    // Bytes of new series frames and big buffers the allocator may still take
    // from the OS without a cycle; set at the end of each cycle (see
    // min_free_room), spent while collection is enabled and not in stress
    // mode, voided when the OS refuses a request it pays for.
    u64 s_budget = 0;
    // Bytes held outside the frames on behalf of live values (image pixels):
    // counted as live data when a cycle sets the room to keep.
    u64 external = 0;
    u32* fixup = nullptr;                // collector fix-up table: pairs of words
    u32* fixup_fill = nullptr;
    u32 fixup_capacity = 0;              // in pairs
};
extern Record record;

// The node region: slot n holds the address of node n's buffer, or the next
// free node while free.
extern u64* node_slots;
extern NodeFrame* node_frames;           // indexed by frame number
extern u32 frames_limit;                 // node frames the region has room for (at most max_node_frames)
// The node frames a region for an address space of `limit` bytes holds: all
// of them without a limit, else an eighth of the limit's worth, at least 64.
u32 node_frames_for(u64 limit);
// Counts memory::init calls: module state that holds nodes or heap blocks
// checks it to tell state made under an earlier memory manager (start-up
// run again, as the unit tests do) from its own.
extern u32 generation;
// Kept buffer addresses. A buffer address read through memory::buffer(n),
// and that buffer's head offset, stay node n's buffer and head for as long
// as `moves` keeps the value it had when they were read: every event that
// can move, replace or free a buffer, renumber a node or move a head bumps
// it first. These are a collection cycle (compaction, freeing, node
// renumbering: bumped at its start and at its end), a buffer replaced by a
// larger one (expand_series and its forms), and the memory manager set up or
// released (runtime restart). An allocation that does not collect moves
// nothing and leaves it alone, and so does a write of the tail. A buffer's
// head offset is set when the buffer is made and changed in place nowhere
// but in series take's shared result buffer (a fixed buffer its owner
// empties in place; nothing keeps its head). So code may keep a buffer
// address or a cell address inside it, with the value of `moves`, across
// calls that can allocate, and use it again after one compare; on a
// mismatch it fetches the address through the node again. Never reset (64
// bits do not wrap), so a value kept under an earlier memory manager never
// matches a later one.
extern u64 moves;
// Tests: the next this many OS block requests are refused as though the OS
// had no memory left. memory::init clears it.
extern u32 refuse_os_blocks;

inline SeriesBuffer* buffer(Node n) { return reinterpret_cast<SeriesBuffer*>(node_slots[n]); }
inline void set_buffer(Node n, SeriesBuffer* s) { node_slots[n] = reinterpret_cast<u64>(s); }
inline u32 frame_number(Node n) { return n >> node_slot_bits; }

void init();
void release_all();                      // frees every frame and big buffer (process end)

// OS blocks: committed read-write memory (read-write-execute with the flag),
// rounded up to pages; the record's total follows them. The OS refusing to
// give or take back memory raises internal/no-memory or internal/wrong-mem.
void* allocate_os_block(size_t size, bool executable = false);
void free_os_block(void* p);

NodeFrame* new_node_frame(u32 count);
Node alloc_node();
void free_node(NodeFrame* frame, Node n);
SeriesFrame* new_series_frame();
// The frame for a buffer of `need` bytes (size + 24) once the current frame is
// full and a collection has run: the first frame with room, unless it has
// less than min_frame_room bytes free; then a new frame, of the maximum size
// when the next frame size is not above need. A nearly full frame would only
// send the next few allocations searching again.
SeriesFrame* frame_after_collection(u64 need);

// Memory outside the series frames that a value owns and the collector
// frees (image pixels): a request of `bytes` is paid from the budget the
// last cycle left, or collects first when the budget cannot cover it, as a
// big buffer does, so that a loop making large values collects in time.
// The bytes count as live data until released.
void charge_external(u64 bytes);
void release_external(u64 bytes);

// Frame upkeep at the end of a cycle, after compaction and the big-buffer
// sweep: releases emptied frames beyond the free room to keep and sets the
// budget for the rest (see min_free_room). Returns the live bytes: the used
// bytes of the frames and the big buffers' blocks.
u64 settle_series_frames();
// The free room a cycle keeps for `live` bytes of live data.
u64 free_room_for(u64 live);

SeriesBuffer* alloc_series_buffer(i32 count, u32 unit, i32 offset);
Node alloc_series(i32 count, u32 unit, i32 offset);
Node alloc_fixed_series(i32 count, u32 unit, i32 offset);
Node alloc_cells(i32 count);
Node alloc_cells_unset(i32 count);
Node alloc_bytes(i32 count);
Node alloc_codepoints(i32 count, u32 unit);
Node alloc_bytes_filled(i32 count, u8 byte);
void set_buffer_flag(Node n, u32 bits);

// Growth. Each returns the new buffer; the old one is dropped (node 0, not in use).
SeriesBuffer* expand_series(SeriesBuffer* s, i32 new_size);
SeriesBuffer* expand_series_copy(SeriesBuffer* s, i32 new_size);
SeriesBuffer* expand_series_filled(SeriesBuffer* s, i32 new_size, u8 byte);

Node copy_series_buffer(SeriesBuffer* s);
Node copy_series_part(Node n, i32 offset, i32 count);

// Appends one cell (header unset!, payload untouched) and returns it.
Cell* alloc_tail(Node n);
Cell* alloc_tail_raw(SeriesBuffer* s);
// Moves the tail n bytes on and returns the old tail address.
u8* reserve_bytes(Node n, i32 count);

// Released and moved-from series memory is poisoned, so that a read through
// a stale buffer address shows instead of quietly finding the old values:
// under the address sanitizer the range is marked unaddressable (a read is
// a report); otherwise, in stress mode, it is filled with poison_byte (a read
// gives a cell of no type and nodes past every frame). A buffer's header
// stays readable: the collector walks the headers of dead buffers. `reuse`
// clears the mark where memory is handed out or written again.
constexpr u8 poison_byte = 0xDB;
void poison(void* start, size_t bytes);
void reuse(void* start, size_t bytes);

void fill_bytes(u8* start, u8* end, u8 byte);
void zero_words(u32* start, u32* end);

// Node frame upkeep after a collection.
void update_node_frames(u32 cycle);
void release_node_frame(NodeFrame* f);

}  // namespace memory
}  // namespace oru
