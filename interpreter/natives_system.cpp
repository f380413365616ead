// System natives: extend, to-local-file, size?, wait and now; see
// natives_system.h.
#include "interpreter/natives_system.h"

#include "interpreter/natives.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "io/simple_io.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

namespace oru::natives_system {

Services services{nullptr, nullptr};

bool os_path(const Cell& file, std::string& out) {
    out.clear();
    SeriesBuffer* s = memory::buffer(cell::node(file));
    const u32 unit = s->unit();
    const i32 length = static_cast<i32>(s->length());
    i32 head = cell::head_index(file);
    if (head < 0) head = 0;
    if (head >= length) return false;
    for (i32 i = head; i < length; i++) {
        const u32 cp = string::get_char(s->head_ptr() + static_cast<size_t>(i) * unit, unit);
        if (cp == 0 || cp > unicode::max_code_point) return false;
        u8 bytes[4];
        const int n = unicode::encode_utf8_char(cp, bytes);
        out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    }
    return true;
}

void append_os_text(const Cell& str, const u8* bytes, size_t size) {
    const u8* p = bytes;
    const u8* end = bytes + size;
    while (p < end) {
        i32 cp;
        p = unicode::fast_decode_utf8_char(p, end, &cp);
        string::append_char(cell::node(str), cp < 0 ? unicode::replacement_char : static_cast<u32>(cp));
    }
}

}  // namespace oru::natives_system

namespace oru::natives {

namespace {

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }

}  // namespace

u32 extend(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const u32 spec = cell::type_of(args[1]);
    if (spec != type::block && spec != type::hash && spec != type::map) expect_arg(args[1], "spec");
    switch (cell::type_of(args[0])) {
    case type::object: fire(ErrorId::internal_not_done);
    case type::map:
        if (!natives_system::services.map_extend) fire(ErrorId::internal_not_done);
        natives_system::services.map_extend(args[0], args[1], used(refinements, 0));
        stack::keep();
        return 0;
    default: expect_arg(args[0], "obj");
    }
}

u32 to_local_file(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    if (!series::string_like_q(cell::type_of(args[0]))) expect_arg(args[0], "path");
    const i32 length = unicode::clip_head(args[0]);
    Cell* out = stack::push();
    string::make_at(*out, length);
    const i32 head = cell::head_index(args[0]) < 0 ? 0 : cell::head_index(args[0]);
    const bool absolute = length > 0 && string::rs_abs_at(args[0], head) == '/';
    if (used(refinements, 0) && !absolute) {
        const std::string dir = platform::get_current_dir();
        natives_system::append_os_text(*out, reinterpret_cast<const u8*>(dir.data()), dir.size());
        if (!dir.empty() && dir.back() != '/') string::append_char(cell::node(*out), '/');
    }
    // Appending may move the source's buffer: each character is read again.
    for (i32 i = 0; i < length; i++)
        string::append_char(cell::node(*out), string::rs_abs_at(args[0], head + i));
    stack::set_result(*out);
    return 0;
}

u32 size_q(bool, const i32*) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[0]) != type::file) expect_arg(args[0], "file");
    std::string path;
    const i64 size = natives_system::os_path(args[0], path) ? simple_io::file_size(path.c_str()) : -1;
    if (size < 0) stack::set_result(cell::make(type::none));
    else if (size <= 0x7FFFFFFF) stack::set_result(cell::integer(static_cast<i32>(size)));
    else stack::set_result(cell::float_(static_cast<double>(size)));
    return 0;
}

u32 wait(bool, const i32*) {
    const Cell v = *stack::arguments;
    double seconds;
    switch (cell::type_of(v)) {
    case type::integer: seconds = static_cast<i32>(v.data2); break;
    case type::float_: case type::time: seconds = cell::get_float(v); break;
    default: fire(ErrorId::script_invalid_arg, v);
    }
    stack::set_result(cell::make(type::none));
    platform::sleep(seconds);
    if (natives_system::services.do_events) natives_system::services.do_events(true);
    return 0;
}

// now /year /month /day /time /zone /date /weekday /yearday /precise /utc:
// the date and time of one clock reading, local in its zone (UTC with /utc),
// or one field of it. One field at most, /precise going with /time alone.
u32 now(bool, const i32* refinements) {
    // Refinement positions, in the spec's order.
    enum { ref_year, ref_month, ref_day, ref_time, ref_zone, ref_date, ref_weekday, ref_yearday, ref_precise, ref_utc };
    static constexpr i32 fields[] = {date::field::year,    date::field::month,   date::field::day,
                                     date::field::time,    date::field::zone,    date::field::date,
                                     date::field::weekday, date::field::yearday};
    i32 chosen = 0;
    for (int i = ref_year; i <= ref_precise; i++) chosen += used(refinements, i);
    if (chosen > 1 && !(chosen == 2 && used(refinements, ref_time) && used(refinements, ref_precise)))
        fire(ErrorId::script_bad_refines);
    const platform::Clock clock = platform::get_clock(used(refinements, ref_precise), used(refinements, ref_utc));
    const Cell today = date::from_epoch(clock.seconds, clock.fraction, clock.offset);
    for (int i = ref_year; i <= ref_yearday; i++) {
        if (!used(refinements, i)) continue;
        stack::set_result(*date::get_field(today, fields[i]));
        return 0;
    }
    stack::set_result(today);
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_system {

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::extend, extend},
        {slot::to_local_file, to_local_file},
        {slot::wait, natives::wait},
        {slot::size_q, size_q},
        {slot::now, natives::now},
    };
    static_assert(std::size(entries) == 5);
    provide_all(entries);
}

}  // namespace oru::natives_system
