// The error catalog's data: for every error id its category, code, spelling
// and message, in catalog order, as compile-time tables derived from the one
// list in error_ids.h.
//
// Start-up turns these tables into the catalog object that error values and
// their report consult (datatypes/error.cpp); code never reads a message from
// here at run time, so a catalog object replaced later is the one that counts.
// The checks at the bottom hold the codes to the positions: an id's code is
// 100 x its category's position + its position among the category's ids.
#pragma once

#include "runtime/error_ids.h"

namespace oru::error_catalog {

enum class PartKind : u8 {
    text,      // a string, written as it is
    get_word,  // :argN, replaced by the error's argument N
    word,      // argN, the same
};

struct MessagePart {
    PartKind kind = PartKind::text;
    u8 arg = 0;  // 1-3 for the argument words
    const char* text = nullptr;
    constexpr MessagePart() = default;
    constexpr MessagePart(const char* t) : text(t) {}
    constexpr MessagePart(PartKind k, u8 n) : kind(k), arg(n) {}
};

// The argument words of the messages in error_ids.h.
inline constexpr MessagePart get1{PartKind::get_word, 1};
inline constexpr MessagePart get2{PartKind::get_word, 2};
inline constexpr MessagePart get3{PartKind::get_word, 3};
inline constexpr MessagePart word1{PartKind::word, 1};
inline constexpr MessagePart word2{PartKind::word, 2};

constexpr int max_parts = 6;

enum class Shape : u8 { string, word, block };

struct Entry {
    ErrorId id;
    const char* spelling;
    u8 count;  // parts used
    MessagePart parts[max_parts];

    // How the catalog keeps the message: one string part is a string, a lone
    // argument word the word itself, anything else a block of the parts.
    constexpr Shape shape() const {
        if (count == 1 && parts[0].kind == PartKind::text) return Shape::string;
        if (count == 1) return Shape::word;
        return Shape::block;
    }
};

template <class... P>
constexpr Entry entry(ErrorId id, const char* spelling, P... parts) {
    static_assert(sizeof...(P) >= 1 && sizeof...(P) <= max_parts);
    return Entry{id, spelling, static_cast<u8>(sizeof...(P)), {MessagePart(parts)...}};
}

// ORDER ERRORS: catalog order.
inline constexpr Entry entries[] = {
#define ORU_ERR_ENTRY(cat, name, code, spelling, ...) entry(ErrorId::cat##_##name, spelling, __VA_ARGS__),
    ORU_ERRORS(ORU_ERR_ENTRY)
#undef ORU_ERR_ENTRY
};
static_assert(sizeof entries / sizeof entries[0] == error_id_count);

struct Category {
    const char* spelling;  // the field name in the catalog
    const char* type;      // the display type
    u32 code;
};

// ORDER ERRORS: catalog order.
inline constexpr Category categories[] = {
#define ORU_ERR_CAT(name, code, spelling, type) {spelling, type, code},
    ORU_ERROR_CATEGORIES(ORU_ERR_CAT)
#undef ORU_ERR_CAT
};
static_assert(sizeof categories / sizeof categories[0] == error_category_count);

// Ids per category.
constexpr u32 id_count(u32 category) {
    u32 n = 0;
    for (const Entry& e : entries)
        if (static_cast<u32>(e.id) / 100 == category) n++;
    return n;
}

// Every code is its category's code plus its position in the category, the
// categories come in order, and each category's code is 100 x its position.
constexpr bool codes_follow_positions() {
    for (u32 c = 0; c < error_category_count; c++)
        if (categories[c].code != 100 * c) return false;
    u32 category = 0, position = 0;
    for (const Entry& e : entries) {
        const u32 code = static_cast<u32>(e.id);
        if (code / 100 != category) {
            if (code / 100 < category) return false;
            category = code / 100;
            position = 0;
        }
        if (code != 100 * category + position) return false;
        position++;
    }
    return true;
}
static_assert(codes_follow_positions(), "ORDER ERRORS: an id's code must follow its position");

// The id counts of the catalog: throw 5, note 1, syntax 7, script 94, math 3,
// access 15, reserved1 and reserved2 none, user 1, internal 14.
static_assert(id_count(0) == 5 && id_count(1) == 1 && id_count(2) == 7 && id_count(3) == 94 && id_count(4) == 3 &&
              id_count(5) == 15 && id_count(6) == 0 && id_count(7) == 0 && id_count(8) == 1 && id_count(9) == 14);

// The entry of an id (catalog order makes it a short search).
constexpr const Entry* find(ErrorId id) {
    for (const Entry& e : entries)
        if (e.id == id) return &e;
    return nullptr;
}

}  // namespace oru::error_catalog
