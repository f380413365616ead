// The file! and url! actions as a script calls them, over stand-ins: file
// and HTTP services that record what they are handed, a url-parser defined
// by the script, and a port! type whose handlers record their calls. What
// is checked is the wiring: which service or port action runs, with which
// arguments and refinements, and what the action answers.
#include "boot/boot.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/url.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace oru;

namespace {

// What the stand-ins saw, one line per call: the call's name, then its
// arguments molded and its flags.
std::string calls;
bool refuse_http = false;

std::string molded(const Cell* c) { return c ? test::written(*c, true) : "-"; }
std::string flags(std::initializer_list<std::pair<const char*, bool>> f) {
    std::string s;
    for (const auto& [name, on] : f)
        if (on) s += std::string(" /") + name;
    return s;
}

Cell* read_file(Cell* file, Cell* seek, Cell* part, bool binary, bool lines) {
    calls += "read-file " + molded(file) + " seek " + molded(seek) + " part " + molded(part) +
             flags({{"binary", binary}, {"lines", lines}}) + "\n";
    return stack::push(cell::integer(1));
}
void write_file(Cell* file, Cell* data, Cell* seek, Cell* part, bool binary, bool append, bool lines) {
    calls += "write-file " + molded(file) + " " + molded(data) + " seek " + molded(seek) + " part " + molded(part) +
             flags({{"binary", binary}, {"append", append}, {"lines", lines}}) + "\n";
}
Cell* delete_file(Cell* file) {
    calls += "delete " + molded(file) + "\n";
    return stack::push(logic::make(true));
}
Cell* rename_file(Cell* from, Cell* to) {
    calls += "rename " + molded(from) + " " + molded(to) + "\n";
    return stack::push(logic::make(false));
}
Cell* query_file(Cell* file) {
    calls += "query " + molded(file) + "\n";
    return stack::push(none::value);
}
Cell* http_request(Cell* method, Cell* url, Cell* headers, Cell* body, bool binary, bool lines, bool info) {
    calls += "http " + molded(method) + " " + molded(url) + " " + molded(headers) + " " + molded(body) +
             flags({{"binary", binary}, {"lines", lines}, {"info", info}}) + "\n";
    return stack::push(refuse_http ? none::value : cell::integer(200));
}

// The stand-in port!: make keeps the spec object, the actions record.
Cell* port_make(Cell*, Cell* spec, u32) {
    calls += "make port!\n";
    Cell* r = stack::push(*spec);
    cell::set_type(*r, type::port);
    return r;
}
Cell* port_open(Cell*, bool new_, bool read, bool write, bool seek, Cell* allow) {
    calls += "port open" + flags({{"new", new_}, {"read", read}, {"write", write}, {"seek", seek}}) + " allow " +
             molded(allow) + "\n";
    return stack::push(none::value);
}
Cell* port_read(Cell*, Cell* part, Cell* seek, bool binary, bool lines, Cell* info, Cell* as) {
    calls += "port read part " + molded(part) + " seek " + molded(seek) +
             flags({{"binary", binary}, {"lines", lines}, {"info", info != nullptr}}) + " as " + molded(as) + "\n";
    return stack::push(cell::integer(7));
}
Cell* port_write(Cell*, Cell* data, bool binary, bool, Cell*, bool append, Cell*, Cell*, Cell*, Cell*) {
    calls += "port write " + molded(data) + flags({{"binary", binary}, {"append", append}}) + "\n";
    return stack::push(cell::integer(8));
}

class UrlServices : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives_output::register_all();
        interpreter::init();
        boot::define_base();
        dyn_print::remove(natives_output::stdout_hook, nullptr);
        url::services = {read_file, write_file, delete_file, rename_file, query_file, http_request};
        registry::add(type::port, type::object, "port!",
                      ActionTable{.make = port_make, .open = port_open, .read = port_read, .write = port_write});
        calls.clear();
        refuse_http = false;
        root_allocation = false;
        collector::enable(true);
        base = stack::top;
    }
    void TearDown() override {
        url::services = {};
        runtime_shutdown();
    }

    // The calls the code made, or the id of the error it raised.
    std::string run(const char* text) {
        calls.clear();
        stack::top = stack::arguments = base;
        CallFrame* frames = stack::frame_top;
        std::string out;
        try {
            EXPECT_EQ(test::evaluate(text), 0u) << text;
            out = calls + "=> " + test::written(*stack::arguments, true);
        } catch (const SystemThrow&) {
            out = calls + "error " + error_id_name(pending_error.id);
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return out;
    }
    Cell* base = nullptr;
};

TEST_F(UrlServices, FileActionsCallTheFileServices) {
    const std::pair<const char*, const char*> cases[] = {
        {"read %a.txt", "read-file %a.txt seek - part -\n=> 1"},
        {"read/part/seek/binary/lines %a.txt 4 2", "read-file %a.txt seek 2 part 4 /binary /lines\n=> 1"},
        {"read/as %a.txt 'utf-8", "error not-done"},
        {"write %\"a b\" \"x\"", "write-file %\"a b\" \"x\" seek - part -\n=> unset"},
        {"write/append/lines/binary/part/seek %a [1] 1 3", "write-file %a [1] seek 3 part 1 /binary /append /lines\n=> unset"},
        {"write/allow %a 1 [read]", "error not-done"},
        {"write/as %a 1 'utf-8", "error not-done"},
        {"delete %d/", "delete %d/\n=> true"},
        {"rename %a %b", "rename %a %b\n=> false"},
        {"query %a", "query %a\n=> none"},
    };
    for (const auto& [code, want] : cases) EXPECT_EQ(run(code), want) << code;
}

TEST_F(UrlServices, HttpReadAndWriteChooseMethodHeadersAndBody) {
    const std::pair<const char*, const char*> cases[] = {
        {"read http://h/x", "http get http://h/x none none\n=> 200"},
        {"read/binary/lines/info https://h/x", "http get https://h/x none none /binary /lines /info\n=> 200"},
        {"write http://h/x [put [Accept \"x\"] \"body\"]", "http put http://h/x [Accept \"x\"] \"body\"\n=> 200"},
        {"write http://h/x [head]", "http head http://h/x none none\n=> 200"},
        {"write http://h/x []", "http get http://h/x none none\n=> 200"},
        {"write/info http://h/x #{01}", "http post http://h/x none #{01} /info\n=> 200"},
        {"write http://h/x [post [] [a 1]]", "http post http://h/x [] [a 1]\n=> 200"},
    };
    for (const auto& [code, want] : cases) EXPECT_EQ(run(code), want) << code;
    refuse_http = true;
    EXPECT_EQ(run("read http://h/x"), "http get http://h/x none none\nerror no-connect");
    EXPECT_EQ(pending_error.args[0].header & 0xFF, type::url);
}

// Other schemes go through the script's url-parser and a port made from
// what it answers: open opens it, read and write hand their arguments on.
TEST_F(UrlServices, OtherSchemesGoThroughAPort) {
    run("url-parser: make object! [parse-url: func [url] [make object! [scheme: 'demo ref: url]]]");
    EXPECT_EQ(run("type? open/read/seek demo://h/x"), "make port!\nport open /read /seek allow -\n=> port!");
    EXPECT_EQ(run("read/part/binary demo://h/x 5"), "make port!\nport read part 5 seek - /binary as -\n=> 7");
    EXPECT_EQ(run("write/append demo://h/x \"data\""), "make port!\nport write \"data\" /append\n=> 8");
    run("url-parser: make object! [parse-url: func [url] [none]]");
    EXPECT_EQ(run("read demo://h/x"), "error invalid-arg");
    run("url-parser: none");
    EXPECT_EQ(run("open demo://h/x"), "error no-value");
}

}  // namespace
