// Adapters between the url::services table the file! and url! actions call
// and the io layer's entry points: the table passes data-stack cells (null
// for an absent refinement) and expects every result pushed on the data
// stack; simple_io and http take references and return some results by
// value.
#include "io/url_services.h"

#include "interpreter/stack.h"
#include "io/http.h"
#include "io/simple_io.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/url.h"

namespace oru::url_services {

namespace {

// A none cell stands for "not given" in the HTTP service's arguments.
const Cell* given(const Cell* c) { return c && cell::type_of(*c) != type::none ? c : nullptr; }

Cell* push_value(const Cell& v) {
    Cell* out = stack::push();
    *out = v;
    return out;
}

Cell* read_file(Cell* file, Cell* seek, Cell* part, bool binary, bool lines) {
    return simple_io::read_file(*file, seek, part, binary, lines);
}

void write_file(Cell* file, Cell* data, Cell* seek, Cell* part, bool binary, bool append, bool lines) {
    simple_io::write(file, *data, seek, part, binary, append, lines);
}

Cell* delete_file(Cell* file) { return push_value(logic::make(simple_io::delete_(*file))); }

Cell* rename_file(Cell* from, Cell* to) { return push_value(logic::make(simple_io::rename(*from, *to))); }

Cell* query_file(Cell* file) {
    const Cell date = simple_io::query(*file);
    return push_value(date);
}

Cell* http_request(Cell* method, Cell* url, Cell* headers, Cell* body, bool binary, bool lines, bool info) {
    return http::request(*method, *url, given(headers), given(body), binary, lines, info);
}

}  // namespace

void install() {
    url::services = url::Services{read_file, write_file, delete_file, rename_file, query_file, http_request};
}

}  // namespace oru::url_services
