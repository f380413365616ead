// Runtime start-up and shutdown: every subsystem set up in its fixed order.
//
// Steps (the numbers the comments below use):
//  1 root-allocation mode on          11 root block, data and call stacks
//  2 output-hook lists                   (symbol block: with step 13)
//  3 platform set-up                  12 case-folding tables
//  4 random seed                      13 symbol block and its hash table
//  5 memory manager                   14 datatype name words
//  6 external-resource table          15 predefined words
//  7 datatype and action tables       16 native table, parse work values,
//  8 datatype modules, parents first     ownership table, method words
//  9 action dispatch table            17 stack pointers, lexer tables
// 10 first node and series frames     18 boot image into the root block
//                                     19 interpreter state, global slot
//                                        table, collector
// Not built yet, so not run: the process launcher of 16, the boot image of
// 18, and in 8 every datatype module that does not exist yet (they join the
// list in its order as they land).
#include "runtime/runtime.h"

#include "codecs/held_cells.h"
#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/compress.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_checksum.h"
#include "interpreter/natives_compress.h"
#include "interpreter/natives_control.h"
#include "interpreter/natives_eval.h"
#include "interpreter/natives_math.h"
#include "interpreter/natives_process.h"
#include "io/url_services.h"
#include "interpreter/natives_series.h"
#include "interpreter/natives_sets.h"
#include "interpreter/parse.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/email.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/hash.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/image_backend.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/ref.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tag.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/vector.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/random.h"
#include "runtime/platform/platform.h"
#include "runtime/registry.h"
#include "runtime/resources.h"
#include "runtime/system.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <cstring>

namespace oru {

bool root_allocation = false;

void runtime_init() {
    // Nothing may be collected before the boot program has its handles.
    collector::enable(false);

    root_allocation = true;  // 1
    dyn_print::init();       // 2
    platform::init();        // 3
    random::init();          // 4: seeds the generator and the hash seed
    memory::init();          // 5
    handles::init();         // 6

    // 7: the tables are static; a second start-up begins from empty ones.
    std::memset(registry::datatypes, 0, sizeof registry::datatypes);
    std::memset(static_cast<void*>(registry::actions), 0, sizeof registry::actions);
    registry::highest_type = 0;

    // 8: ORDER REGISTRATION: datatype! unset! none! logic! series! block!
    // string! binary! integer! symbol! context! word! lit-word! set-word!
    // get-word! refinement! char! native! action! op! path! lit-path!
    // set-path! get-path! function! routine! paren! issue! url! file!
    // object! bitset! triple! float! typeset! error! vector! map! hash!
    // pair! percent! tuple! time! tag! email! handle! date! port! money!
    // ref! point2D! point3D!, the image codecs, image!.
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    string::init();
    integer::init();
    symbol::init_datatype();
    context::init();
    word::init();
    lit_word::init();
    set_word::init();
    get_word::init();
    refinement::init();
    char_::init();
    native::init();
    action::init();
    op::init();
    path::init();
    lit_path::init();
    set_path::init();
    get_path::init();
    function::init();
    routine::init();
    paren::init();
    issue::init();
    url::init();   // parent string!
    file::init();  // parent url!
    url_services::install();  // the io layer behind their read, write and query
    object::init();
    float_::init();
    typeset::init();
    error::init();
    // The children of string! with their own handlers.
    binary::init();
    tag::init();
    email::init();
    ref::init();
    // The value types that live in their cells (float! is percent!'s parent).
    pair::init();
    point2D::init();
    point3D::init();
    tuple::init();
    triple::init();
    percent::init();
    time::init();  // parent float!
    date::init();
    image_backend::init_codecs();  // the resource kind "image" first
    image::init();
    handle::init();  // parent integer!
    // Packed vectors and ports.
    vector::init();  // parent string!
    port::init();    // parent object!
    // Bitsets, maps and hashed blocks (hash!'s parent block! is in).
    bitset::init();
    map::init();
    hash::init();
    money::init();

    actions::init();  // 9

    // 10
    memory::new_node_frame(startup::first_node_frame);
    memory::record.s_active = memory::new_series_frame();

    // 11: fixed buffers, never moved by the collector.
    set_root_block(memory::alloc_fixed_series(startup::root_cells, sizeof(Cell), 0));
    Node data_stack = memory::alloc_fixed_series(stack::data_cells, sizeof(Cell), 0);
    Node call_stack = memory::alloc_fixed_series(stack::frame_block_cells, sizeof(Cell), 0);

    unicode::init_case_tables();           // 12
    symbol::init(startup::symbol_capacity);  // 13 (with the symbol block of 11)
    context::init_global();                // the global context of 11, which needs symbols
    datatype::make_words();                // 14

    // 15
    words::init();
    words::init_refinements();
    words::init_issues();
    word::bind_predefined();  // the predefined word cells become global words

    // 16
    natives_control::register_all();
    natives_series::register_all();
    natives_eval::register_all();
    natives_math::register_all();
    natives_sets::register_all();
    natives_checksum::register_all();
    natives_process::register_all();
    natives_compress::register_all();
    parse::register_all();
    natives::init();
    parse::init();
    ownership::init();
    natives_checksum::init();  // the checksum method words
    compress::init();          // after the checksum method words

    stack::init(data_stack, call_stack);  // 17
    lexer::init();

    // 19
    error::init_catalog();
    interpreter::init();
    slot_table::init();
    collector::init();
    // The values the lexer is building live outside any series until it ends.
    collector::register_marker([] { lexer::mark(collector::mark_block); });
    collector::register_marker(parse::mark);
    held_cells::cells().clear();  // a decoder stopped by a fault of an earlier start-up
    collector::register_marker(held_cells::mark);
}

void runtime_shutdown() {
    handles::shutdown();
    stack::shutdown();
    cycles::reset();  // its nodes belong to the memory released below
    set_root_block(0);
    context::global = 0;  // its node dies with the memory released below
    // The type rows belong to this start-up: a test that starts less of the
    // runtime afterwards must not find handlers left registered.
    std::memset(registry::datatypes, 0, sizeof registry::datatypes);
    std::memset(static_cast<void*>(registry::actions), 0, sizeof registry::actions);
    registry::highest_type = 0;
    memory::release_all();
    heap::free_all();
}

}  // namespace oru
