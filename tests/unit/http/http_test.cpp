// HTTP and HTTPS requests against the test server (tests/http/server.py),
// which a ctest fixture starts on 127.0.0.1 and stops afterwards; its
// addresses are in the file ORU_HTTP_URLS names. The server echoes each
// request, so the tests see exactly what was sent.
#include "io/http.h"
#include "io/io_support.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/runtime.h"
#include "../support.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

using namespace oru;

namespace {

std::map<std::string, std::string> server;

class Http : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::ifstream in(ORU_HTTP_URLS);
        std::string key, value;
        while (in >> key >> value) server[key] = value;
    }
    void SetUp() override {
        if (server.empty()) GTEST_SKIP() << "no test server: run through ctest";
        ::setenv("no_proxy", "*", 1);
        ::setenv("ORU_HTTP_TEST_TIMEOUT", "2", 1);
        ::unsetenv("SSL_CERT_FILE");
        runtime_init();
        stack::mark_native(test::name("test"));
        stack::push(cell::make(type::none));
    }
    void TearDown() override {
        if (!server.empty()) runtime_shutdown();
    }

    static http::Exchange get(const std::string& url, const http::HeaderList* headers = nullptr) {
        return http::perform("GET", url, headers, nullptr);
    }
    Cell* value(const std::string& s, u32 t = type::string) {
        return io::push_text(reinterpret_cast<const u8*>(s.data()), s.size(), t, false);
    }
    static std::string text(const Cell& s) {
        std::string out;
        io::append_utf8(s, out);
        return out;
    }
    static bool has(const std::string& body, const std::string& line) {
        return body.find("\n" + line + "\n") != std::string::npos;
    }
    static bool names(const std::string& body, const std::string& name) {
        return body.find("\n" + name + ":") != std::string::npos;
    }
};

// Header lines as a server may send them: a status line starts the set
// again; blanks around values go; a line whose name is empty or holds a
// blank or control character is no header.
TEST(HttpHeaderLines, TakenAsReceived) {
    http::HeaderList got;
    for (const char* line : {"HTTP/1.1 301 Moved\r\n", "Location: /b\r\n", "HTTP/1.1 200 OK\r\n", "A:1\r\n",
                             "B : \t two words \r\n", "C:\r\n", "D: x: y\n", ": no name\r\n", "Sp ace: 1\r\n",
                             "Bad\rName: 1\r\n", "no colon\r\n", "\r\n"})
        http::take_header_line(got, line);
    EXPECT_EQ(got, (http::HeaderList{{"A", "1"}, {"B", "two words"}, {"C", ""}, {"D", "x: y"}}));
}

TEST_F(Http, DefaultHeadersGoOnlyWithoutAHeadersBlock) {
    const std::string url = server["http"] + "/echo";
    const http::Exchange plain = get(url);
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(plain.body.rfind("GET /echo\n", 0), 0u) << plain.body;
    EXPECT_TRUE(has(plain.body, "Content-Type: application/x-www-form-urlencoded")) << plain.body;
    EXPECT_TRUE(has(plain.body, "Accept-Charset: UTF-8")) << plain.body;
    EXPECT_TRUE(has(plain.body, "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64)")) << plain.body;
    EXPECT_FALSE(names(plain.body, "Accept")) << "libcurl's own Accept is left out";

    const http::HeaderList mine{{"X-Test", "1"}, {"X-Empty", ""}};
    const http::Exchange custom = get(url, &mine);
    ASSERT_TRUE(custom.ok);
    EXPECT_TRUE(has(custom.body, "X-Test: 1")) << custom.body;
    EXPECT_TRUE(names(custom.body, "X-Empty")) << custom.body;
    for (const char* left_out : {"Content-Type", "Accept-Charset", "User-Agent", "Accept"})
        EXPECT_FALSE(names(custom.body, left_out)) << left_out << "\n" << custom.body;

    const http::HeaderList broken{{"X-Bad", "a\r\nX-Injected: 1"}};
    EXPECT_FALSE(get(url, &broken).ok) << "a line break in a header is refused";
}

TEST_F(Http, RequestsFromValues) {
    // PUT with a header block and a string body, sent as UTF-8.
    Cell* headers = test::load("Accept \"x\" X-Number 42");
    Cell* r = http::request(test::name("put"), *value(server["http"] + "/echo"), headers,
                            value("h\xC3\xA9llo \xE6\x97\xA5"), false, false, false);
    ASSERT_EQ(cell::type_of(*r), type::string);
    const std::string echoed = text(*r);
    EXPECT_EQ(echoed.rfind("PUT /echo\n", 0), 0u) << echoed;
    EXPECT_TRUE(has(echoed, "Accept: x")) << echoed;
    EXPECT_TRUE(has(echoed, "X-Number: 42")) << echoed;
    EXPECT_TRUE(has(echoed, "Content-Length: 10")) << echoed;
    EXPECT_FALSE(names(echoed, "Expect")) << echoed;
    EXPECT_FALSE(names(echoed, "Content-Type")) << "no automatic Content-Type\n" << echoed;
    EXPECT_NE(echoed.find("\n\nh\xC3\xA9llo \xE6\x97\xA5"), std::string::npos) << echoed;

    // POST of a binary body; GET sends none even when one is given.
    r = http::request(test::name("post"), *value(server["http"] + "/echo"), nullptr,
                      binary::load_in(reinterpret_cast<const u8*>("\x00\x01"), 2, nullptr), false, false, false);
    EXPECT_NE(text(*r).find("Content-Length: 2"), std::string::npos);
    r = http::request(test::name("get"), *value(server["http"] + "/echo"), nullptr, value("dropped"), false, false,
                      false);
    EXPECT_EQ(text(*r).find("dropped"), std::string::npos);

    // /binary and /lines; a 404 returns its body; HEAD returns none.
    r = http::request(test::name("get"), *value(server["http"] + "/binary"), nullptr, nullptr, true, false, false);
    ASSERT_EQ(cell::type_of(*r), type::binary);
    ASSERT_EQ(binary::rs_length_q(*r), 256);
    EXPECT_EQ(binary::rs_head(*r)[255], 255);
    r = http::request(test::name("get"), *value(server["http"] + "/lines"), nullptr, nullptr, false, true, false);
    ASSERT_EQ(cell::type_of(*r), type::block);
    ASSERT_EQ(block::rs_length_q(*r), 4);
    for (i32 i = 0; const char* line : {"one", "two", "", "three"}) EXPECT_EQ(text(*block::rs_abs_at(*r, i++)), line);
    r = http::request(test::name("get"), *value(server["http"] + "/missing"), nullptr, nullptr, false, false, false);
    EXPECT_EQ(text(*r), "not here");
    r = http::request(test::name("head"), *value(server["http"] + "/echo"), nullptr, nullptr, false, false, false);
    EXPECT_EQ(text(*r), "");

    EXPECT_EQ(http::method_text(test::name("delete")), "DELETE");
}

TEST_F(Http, HeadersOfTheFinalResponse) {
    const http::Exchange repeated = get(server["http"] + "/repeat");
    ASSERT_TRUE(repeated.ok);
    const Cell blk = *http::push_header_block(repeated.headers);
    // X-Multi came twice: a block of both values, in order.
    const i32 multi = symbol::make("x-multi");
    bool found = false;
    for (i32 i = 0; i + 1 < block::rs_length_q(blk); i += 2) {
        const Cell* key = block::rs_abs_at(blk, i);
        ASSERT_EQ(cell::type_of(*key), type::word);
        if (symbol::canonical(word::symbol_of(*key)) != symbol::canonical(multi)) continue;
        found = true;
        const Cell* v = block::rs_abs_at(blk, i + 1);
        ASSERT_EQ(cell::type_of(*v), type::block);
        ASSERT_EQ(block::rs_length_q(*v), 2);
        EXPECT_EQ(text(*block::rs_abs_at(*v, 0)), "one");
        EXPECT_EQ(text(*block::rs_abs_at(*v, 1)), "two");
    }
    EXPECT_TRUE(found);

    // Redirects are followed; the headers are the last response's only.
    const http::Exchange moved = get(server["http"] + "/redirect");
    ASSERT_TRUE(moved.ok);
    EXPECT_EQ(moved.status, 200);
    EXPECT_EQ(moved.body.rfind("GET /echo/redirected\n", 0), 0u) << moved.body;
    for (const auto& h : moved.headers) EXPECT_NE(h.first, "Location");
    EXPECT_FALSE(get(server["http"] + "/loop").ok) << "at most 10 redirects";

    // /info: the map of the headers, once map! exists.
    const auto error = test::error_of([&] {
        const Cell info = *http::request(test::name("get"), *value(server["http"] + "/repeat"), nullptr, nullptr,
                                         false, false, true);
        ASSERT_EQ(cell::type_of(info), type::block);
        EXPECT_EQ(block::rs_abs_at(info, 0)->data2, 200u);
        EXPECT_EQ(cell::type_of(*block::rs_abs_at(info, 1)), type::map);
        EXPECT_EQ(text(*block::rs_abs_at(info, 2)), "repeated");
    });
    if (!io::registered_q(type::map)) EXPECT_EQ(error, ErrorId::internal_not_done);
    else EXPECT_FALSE(error);
}

TEST_F(Http, FailuresGiveNone) {
    EXPECT_FALSE(get(server["closed"] + "/").ok) << "a closed port";
    EXPECT_FALSE(get(server["http"] + "/silent").ok) << "a server that never answers";
    EXPECT_FALSE(get("ftp://127.0.0.1/").ok) << "http and https only";
    const Cell* r = http::request(test::name("get"), *value(server["closed"] + "/"), nullptr, nullptr, false, false,
                                  true);
    EXPECT_EQ(cell::type_of(*r), type::none);

    // The self-signed certificate is refused until SSL_CERT_FILE trusts it.
    const std::string secure = server["https"] + "/echo";
    EXPECT_FALSE(get(secure).ok);
    ::setenv("SSL_CERT_FILE", server["cert"].c_str(), 1);
    const http::Exchange trusted = get(secure);
    ::unsetenv("SSL_CERT_FILE");
    ASSERT_TRUE(trusted.ok);
    EXPECT_EQ(trusted.body.rfind("GET /echo\n", 0), 0u);
}

}  // namespace
