// Currency codes of money! values: the start-up list and the lookup.
//
// Nothing here allocates: the live list is reached through symbols that
// already exist and read in place, so the lexer can look a code up in the
// middle of a token and the natives between fetches of their arguments.
#include "runtime/datatypes/money_text.h"

#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/system_object.h"

#include <cstring>

namespace oru::money {

#define ORU_CURRENCY_NAME(code) #code,
const char* const boot_currencies[boot_currency_count] = {ORU_CURRENCIES(ORU_CURRENCY_NAME)};
#undef ORU_CURRENCY_NAME
#define ORU_CURRENCY_ONE(code) +1
static_assert(0 ORU_CURRENCIES(ORU_CURRENCY_ONE) == boot_currency_count);
#undef ORU_CURRENCY_ONE

namespace {

u8 upper(u8 c) { return c >= 'a' && c <= 'z' ? static_cast<u8>(c - 32) : c; }

bool same_nocase(const u8* a, const u8* b, i32 n) {
    for (i32 i = 0; i < n; i++)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// system/locale/currencies/list when the system object holds a block there,
// else null. Valid until the next allocation.
const Cell* live_list() {
    static system_object::Path list_path{"locale", "currencies", "list"};
    const Cell* at = system_object::select(list_path);
    return at && cell::type_of(*at) == type::block ? at : nullptr;
}

// The UTF-8 name of a symbol, read in place.
const u8* name_of(i32 sym, i32* n) {
    SeriesBuffer* b = memory::buffer(symbol::at(sym)->data3);
    *n = static_cast<i32>(b->tail - b->head);
    return b->head_ptr();
}

}  // namespace

i32 (*lookup)(const u8* code, i32 n) = nullptr;

i32 find_currency(const u8* code, i32 n) {
    if (lookup) return lookup(code, n);
    if (const Cell* list = live_list()) {
        SeriesBuffer* s = memory::buffer(cell::node(*list));
        const i32 count = static_cast<i32>(s->length());
        for (i32 i = cell::head_index(*list); i < count; i++) {
            const Cell& c = s->cells()[i];
            if (!word::any_word_type_q(cell::type_of(c)) || word::symbol_of(c) <= 0) continue;
            i32 len;
            const u8* name = name_of(word::symbol_of(c), &len);
            if (len == n && same_nocase(name, code, n)) return i - cell::head_index(*list) + 1;
        }
        return -1;
    }
    if (n != 3) return -1;
    for (i32 i = 0; i < boot_currency_count; i++)
        if (same_nocase(reinterpret_cast<const u8*>(boot_currencies[i]), code, 3)) return i + 1;
    return -1;
}

i32 find_currency(const Cell& word) {
    const i32 sym = word::symbol_of(word);
    if (sym <= 0) return -1;
    i32 n;
    const u8* name = name_of(sym, &n);  // no allocation below: the name stays put
    return find_currency(name, n);
}

i32 currency_code(i32 index, char* out, i32 room) {
    if (index < 1 || room <= 0) return 0;
    if (const Cell* list = live_list()) {
        SeriesBuffer* s = memory::buffer(cell::node(*list));
        const i32 at = cell::head_index(*list) + index - 1;
        if (at < static_cast<i32>(s->length())) {
            const Cell& c = s->cells()[at];
            if (word::any_word_type_q(cell::type_of(c)) && word::symbol_of(c) > 0) {
                i32 n;
                const u8* name = name_of(word::symbol_of(c), &n);
                if (n > room) n = room;
                std::memcpy(out, name, static_cast<size_t>(n));
                return n;
            }
        }
    }
    if (index > boot_currency_count) return 0;
    const i32 n = room < 3 ? room : 3;
    std::memcpy(out, boot_currencies[index - 1], static_cast<size_t>(n));
    return n;
}

}  // namespace oru::money
