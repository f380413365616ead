// transcode over binary! sources, which scripts cannot make yet: the
// byte-order mark, the /next position counted in bytes, and /part given as a
// position. The native runs on a hand-made argument frame.
#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace oru;

namespace {

// Refinement order of transcode: /next /one /prescan /scan /part /into /trace.
enum { next_r, one_r, prescan_r, scan_r, part_r, into_r, trace_r, refinement_count };

class NativesEval : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        natives_eval::register_all();
    }
    void TearDown() override { runtime_shutdown(); }

    // A binary! holding the bytes, at index `index`.
    static Cell binary(const std::string& bytes, i32 index = 0) {
        const Node n = memory::alloc_bytes(static_cast<i32>(bytes.size()) + 1);
        SeriesBuffer* b = memory::buffer(n);
        std::memcpy(b->head_ptr(), bytes.data(), bytes.size());
        b->tail = b->head + static_cast<u32>(bytes.size());
        return cell::make(type::binary, static_cast<u32>(index), n, 0);
    }

    // Runs transcode on src with the refinements named (a /part argument
    // when given) and returns its result.
    static Cell transcode(const Cell& src, std::initializer_list<int> used, const Cell* part = nullptr) {
        stack::mark_native(words::word::tag_body);
        stack::push(src);
        i32 refinements[refinement_count];
        for (i32& r : refinements) r = -1;
        for (int u : used) refinements[u] = 1;
        if (part) {
            refinements[part_r] = static_cast<i32>(stack::top - stack::arguments);
            stack::push(*part);
        }
        natives::transcode(false, refinements);
        const Cell result = *stack::arguments;
        stack::unwind();
        return result;
    }

    // The error transcode/part raises, under a try frame as a script's try.
    static ErrorId error_of(const Cell& src, const Cell& part) {
        Cell* saved = stack::top;
        Cell* arguments = stack::arguments;
        CallFrame* frames = stack::frame_top;
        stack::mark_try(stack::word(0));
        ErrorId id{};
        try {
            transcode(src, {}, &part);
            ADD_FAILURE() << "no error";
        } catch (const SystemThrow&) {
            id = pending_error.id;
        }
        stack::frame_top = frames;
        stack::arguments = arguments;
        stack::top = saved;
        return id;
    }

    static std::vector<i32> integers(const Cell& blk) {
        std::vector<i32> out;
        for (i32 i = cell::head_index(blk); i < block::rs_length_q(blk) + cell::head_index(blk); ++i)
            out.push_back(static_cast<i32>(block::rs_abs_at(blk, i)->data2));
        return out;
    }
};

TEST_F(NativesEval, ByteOrderMarkIsSkipped) {
    const Cell src = binary("\xEF\xBB\xBF" "1 22 333");
    const Cell all = transcode(src, {});
    ASSERT_EQ(cell::type_of(all), type::block);
    EXPECT_EQ(integers(all), (std::vector<i32>{1, 22, 333}));

    // /next: the rest starts after the mark and the bytes consumed.
    const Cell pair = transcode(src, {next_r});
    ASSERT_EQ(cell::type_of(pair), type::block);
    ASSERT_EQ(block::rs_length_q(pair), 2);
    EXPECT_EQ(block::rs_abs_at(pair, 0)->data2, 1u);
    const Cell rest = *block::rs_abs_at(pair, 1);
    EXPECT_EQ(cell::type_of(rest), type::binary);
    EXPECT_EQ(cell::head_index(rest), 4);
}

TEST_F(NativesEval, PartOfABinary) {
    const Cell src = binary("12 34 56");
    Cell at = src;
    at.data1 = 5;  // just after "34"
    EXPECT_EQ(integers(transcode(src, {}, &at)), (std::vector<i32>{12, 34}));
    const Cell count = cell::integer(2);
    EXPECT_EQ(integers(transcode(src, {}, &count)), (std::vector<i32>{12}));
    const Cell too_long = cell::integer(1000);
    EXPECT_EQ(integers(transcode(src, {}, &too_long)), (std::vector<i32>{12, 34, 56}));

    // A string position for a binary source is another type; a position in
    // another binary says nothing about this one.
    Cell* text = stack::push();
    string::make_at(*text, 4);
    string::concatenate_literal(*text, "12");
    EXPECT_EQ(error_of(src, *text), ErrorId::script_not_same_type);
    EXPECT_EQ(error_of(src, binary("99")), ErrorId::script_invalid_part);
}

TEST_F(NativesEval, ScanModesOfABinary) {
    const Cell type_of_first = transcode(binary("1.5 x"), {scan_r});
    EXPECT_EQ(cell::type_of(type_of_first), type::datatype);
    EXPECT_EQ(type_of_first.data1, type::float_);
    EXPECT_EQ(cell::type_of(transcode(binary(""), {scan_r})), type::none);
    const Cell bad = transcode(binary("[a"), {prescan_r});
    EXPECT_EQ(bad.data1, type::error);
}

}  // namespace
