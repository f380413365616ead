// url!: making from a block, mold, the path join, open, read and write.
//
// Handlers keep values on the data stack across everything that allocates
// or calls out (the parser, a port's actor, the HTTP service): any of them
// may move every string buffer.
#include "runtime/datatypes/url.h"

#include "codecs/url_text.h"
#include "interpreter/actions.h"
#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <string>
#include <vector>

namespace oru::url {

Services services{};

Cell* push(const Cell& value) { return stack::push(value); }

namespace {

constexpr i32 no_limit = 0x7FFFFFFF;

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

// The UTF-8 bytes of a text from its head, copied out of every buffer.
std::vector<u8> utf8_of(const Cell& text) {
    stack::Mark mark;
    Cell* copy = stack::push(text);
    i32 length = -1;
    const u8* bytes = unicode::to_utf8(*copy, &length);
    return std::vector<u8>(bytes, bytes + length);
}

// Item i of a block from its head (valid until the next allocation).
const Cell& item(const Cell& blk, i32 i) { return *block::rs_abs_at(blk, cell::head_index(blk) + i); }

// Appends the formed value to the string.
void form_into(Cell* out, const Cell& value) {
    stack::Mark mark;
    actions::form(stack::push(value), out, nullptr, no_limit);
}

// scheme "://" host [":" port] "/" value ("/" or "#" before an issue) ...
Cell* from_block(const Cell& spec) {
    const i32 n = block::rs_length_q(spec);
    if (n == 0) fire(ErrorId::script_bad_to_arg, datatype::make(type::url), spec);
    Cell* r = stack::push(none::value);
    string::make_at(*r, 32);
    form_into(r, item(spec, 0));
    string::concatenate_literal(*r, "://");
    if (n == 1) return r;
    form_into(r, item(spec, 1));
    i32 i = 2;
    if (n > 2 && cell::type_of(item(spec, 2)) == type::integer) {
        string::append_char(cell::node(*r), ':');
        form_into(r, item(spec, 2));
        if (n == 3) return r;
        i = 3;
    }
    string::append_char(cell::node(*r), '/');
    for (bool first = true; i < n; i++, first = false) {
        if (!first) string::append_char(cell::node(*r), cell::type_of(item(spec, i)) == type::issue ? '#' : '/');
        form_into(r, item(spec, i));
    }
    return r;
}

Cell* string_make(Cell* proto, Cell* spec, u32 t) {
    return registry::handler<action_fn::Make>(type::string, action::make)(proto, spec, t);
}
Cell* string_to(Cell* proto, Cell* spec, u32 t) {
    return registry::handler<action_fn::Make>(type::string, action::to)(proto, spec, t);
}

bool block_spec_q(u32 t) { return t == type::block || t == type::paren || t == type::hash; }

Cell* typed(Cell* r, u32 t) {
    cell::set_type(*r, t);
    return r;
}

// make and to of url! build from a block; everything else (file! included)
// follows string!.
Cell* make(Cell* proto, Cell* spec, u32 t) {
    if (t == type::url && block_spec_q(cell::type_of(*spec))) return typed(from_block(*spec), t);
    return string_make(proto, spec, t);
}
Cell* to(Cell* proto, Cell* spec, u32 t) {
    if (t == type::url && block_spec_q(cell::type_of(*spec))) return typed(from_block(*spec), t);
    return string_to(proto, spec, t);
}

// The encoded text with no quotes; /part stops after `limit` characters.
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    const i32 written = append_encoded(*buffer, *value, part ? std::max(limit, 0) : -1);
    return limit - written;
}

// Base "/" element with exactly one slash between them; the base's type.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool, bool) {
    if (value) fire(ErrorId::script_bad_path_set, path ? *path : none::value, *element);
    // The result and its parts stay pushed: the caller takes the result
    // before it drops what was pushed above its own mark.
    Cell* el = stack::push(*element);
    if (cell::type_of(*el) == type::get_word) *el = *context::get(*el);
    Cell* formed = stack::push(none::value);
    string::make_at(*formed, 16);
    form_into(formed, *el);
    Cell* r = stack::push(none::value);
    string::make_at(*r, string::rs_length_q(*parent) + string::rs_length_q(*formed) + 1);
    string::concatenate(*r, *parent, -1, 0, true, string::mode::append);
    const i32 len = string::rs_length_q(*r);
    const bool base_slash = len > 0 && string::rs_abs_at(*r, len - 1) == '/';
    const bool elem_slash = string::rs_length_q(*formed) > 0 && string::rs_abs_at(*formed, 0) == '/';
    if (base_slash && elem_slash) formed->data1 = 1;
    else if (!base_slash && !elem_slash) string::append_char(cell::node(*r), '/');
    string::concatenate(*r, *formed, -1, 0, true, string::mode::append);
    cell::set_type(*r, cell::type_of(*parent));
    return r;
}

// --- Ports ------------------------------------------------------------------------

// The library's url-parser/parse-url of the URL (a new data-stack cell).
Cell* parse_url(const Cell& url) {
    // Both names are interned (which may allocate) before the global slot's
    // address is taken: it lies in a buffer that an allocation may move.
    const i32 sym = symbol::make("url-parser");
    const Cell name = stack::word(symbol::make("parse-url"));
    const Cell parser_word = stack::word(sym);
    const Cell* parser = context::global_slot(sym);
    if (!parser || cell::type_of(*parser) != type::object) fire(ErrorId::script_no_value, parser_word);
    // The function and its argument stay on the data stack, where the
    // collector sees and updates them, for the whole call.
    Cell* fn = stack::push(*object::rs_select(*parser, name));
    Cell* args = stack::push(url);
    const Cell answer = natives::call_callback(*fn, name, 0, args, 1);
    return stack::push(answer);
}

// A port made from the parsed URL; invalid-arg when it did not parse.
Cell* make_port(const Cell& url) {
    Cell* spec = parse_url(url);
    if (cell::type_of(*spec) != type::object) fire(ErrorId::script_invalid_arg, url);
    Cell* proto = stack::push(datatype::make(type::port));
    return stack::push(*actions::make(proto, spec));
}

Cell* open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow) {
    Cell* port = make_port(*url);
    Cell* a = allow ? stack::push(*allow) : nullptr;
    actions::open(port, new_, read, write, seek, a);
    return port;
}

// --- HTTP ---------------------------------------------------------------------------

Cell* request(Cell* method, Cell* url, Cell* headers, Cell* body, bool binary, bool lines, bool info) {
    if (!services.http_request) not_done();
    Cell* r = services.http_request(method, url, headers, body, binary, lines, info);
    if (cell::type_of(*r) == type::none) fire(ErrorId::access_no_connect, *url);
    return r;
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, Cell* info, Cell* as) {
    if (!http_q(*source)) {
        Cell* port = make_port(*source);
        return actions::read(port, part, seek, binary, lines, info, as);
    }
    if (part || seek || as) not_done();
    Cell* method = stack::push(stack::word(words::sym::get));
    Cell* none_cell = stack::push(none::value);
    return request(method, source, none_cell, none_cell, binary, lines, info != nullptr);
}

// [method [headers] body], [] (a GET) or a body to POST.
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, Cell* info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as) {
    if (!http_q(*destination)) {
        Cell* port = make_port(*destination);
        return actions::write(port, data, binary, lines, info, append, part, seek, allow, as);
    }
    if (seek || allow || as) not_done();
    Cell* method = stack::push(stack::word(words::sym::post));
    Cell* headers = stack::push(none::value);
    Cell* body = stack::push(*data);
    if (cell::type_of(*data) == type::block) {
        const Cell spec = *data;
        const i32 n = block::rs_length_q(spec);
        *body = none::value;
        if (n == 0) {
            *method = stack::word(words::sym::get);
        } else {
            *method = item(spec, 0);
            if (cell::type_of(*method) != type::word) fire(ErrorId::script_invalid_arg, *method);
            if (n > 1) {
                *headers = item(spec, 1);
                if (cell::type_of(*headers) != type::block) fire(ErrorId::script_invalid_arg, *headers);
            }
            if (n > 2) *body = item(spec, 2);
        }
    }
    const u32 bt = cell::type_of(*body);
    if (bt != type::none && bt != type::block && bt != type::string && bt != type::binary)
        fire(ErrorId::script_invalid_arg, *body);
    return request(method, destination, headers, body, binary, lines, info != nullptr);
}

constexpr ActionTable url_actions = {
    .make = make, .to = to, .form = inherit, .mold = mold, .eval_path = eval_path, .compare = inherit,
    .append = inherit, .at = inherit, .back = inherit, .change = inherit, .clear = inherit, .copy = inherit,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = inherit,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .remove = inherit,
    .reverse = inherit, .select = inherit, .skip = inherit, .swap = inherit, .tail = inherit, .tail_q = inherit,
    .take = inherit, .modify = inherit, .open = open, .read = read, .write = write,
};

}  // namespace

i32 append_encoded(const Cell& buffer, const Cell& value, i32 limit) {
    const std::vector<u8> bytes = utf8_of(value);
    std::string text;
    encode(bytes.data(), bytes.size(), 255, text);
    if (limit >= 0 && text.size() > static_cast<size_t>(limit)) text.resize(static_cast<size_t>(limit));
    string::concatenate_bytes(buffer, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
    return static_cast<i32>(text.size());
}

bool http_q(const Cell& value) { return string::starts_with_q(value, "http"); }

void init() { registry::add(type::url, type::string, "url!", url_actions); }

}  // namespace oru::url
