// Predefined words: interning the fixed vocabulary in its list order.
#include "runtime/words.h"

#include "runtime/datatypes/symbol.h"

#include <iterator>

namespace oru::words {

#define ORU_WORDS_DEFINE_ID(name, spelling) i32 name = 0;
#define ORU_WORDS_DEFINE_CELL(name, spelling) Cell name{};
namespace sym {
ORU_PREDEFINED_SYMBOLS(ORU_WORDS_DEFINE_ID)
}
namespace word {
ORU_PREDEFINED_WORDS(ORU_WORDS_DEFINE_CELL)
}
namespace refinement {
ORU_PREDEFINED_REFINEMENTS(ORU_WORDS_DEFINE_CELL)
}
namespace issue {
ORU_PREDEFINED_ISSUES(ORU_WORDS_DEFINE_CELL)
}
#undef ORU_WORDS_DEFINE_ID
#undef ORU_WORDS_DEFINE_CELL

namespace {

template <class T>
struct Entry {
    T* target;
    const char* spelling;
};

#define ORU_WORDS_SYM_ENTRY(name, spelling) {&sym::name, spelling},
#define ORU_WORDS_WORD_ENTRY(name, spelling) {&word::name, spelling},
#define ORU_WORDS_REFINEMENT_ENTRY(name, spelling) {&refinement::name, spelling},
#define ORU_WORDS_ISSUE_ENTRY(name, spelling) {&issue::name, spelling},
const Entry<i32> symbol_entries[] = {ORU_PREDEFINED_SYMBOLS(ORU_WORDS_SYM_ENTRY)};
const Entry<Cell> word_entries[] = {ORU_PREDEFINED_WORDS(ORU_WORDS_WORD_ENTRY)};
const Entry<Cell> refinement_entries[] = {ORU_PREDEFINED_REFINEMENTS(ORU_WORDS_REFINEMENT_ENTRY)};
const Entry<Cell> issue_entries[] = {ORU_PREDEFINED_ISSUES(ORU_WORDS_ISSUE_ENTRY)};
#undef ORU_WORDS_SYM_ENTRY
#undef ORU_WORDS_WORD_ENTRY
#undef ORU_WORDS_REFINEMENT_ENTRY
#undef ORU_WORDS_ISSUE_ENTRY

static_assert(std::size(symbol_entries) == symbol_count);
static_assert(std::size(word_entries) == word_count);
static_assert(std::size(refinement_entries) == refinement_count);
static_assert(std::size(issue_entries) == issue_count);

// An unbound cell of a word type: context 0, slot index -1.
template <size_t N>
void make_cells(const Entry<Cell> (&entries)[N], u32 t) {
    for (const Entry<Cell>& e : entries)
        *e.target = cell::make(t, 0, static_cast<u32>(symbol::make(e.spelling)), 0xFFFFFFFFu);
}

}  // namespace

void init() {
    for (const Entry<i32>& e : symbol_entries) *e.target = symbol::make(e.spelling);
    make_cells(word_entries, type::word);
}

void init_refinements() { make_cells(refinement_entries, type::refinement); }

void init_issues() { make_cells(issue_entries, type::issue); }

}  // namespace oru::words
