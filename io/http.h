// simple-io/http-request: one synchronous HTTP or HTTPS request on libcurl.
//
// A handle per request, always freed. Redirects are followed (at most 10,
// http and https only); connecting gives up after 60 s and a transfer that
// receives nothing for 30 s fails (the environment variable
// ORU_HTTP_TEST_TIMEOUT, in seconds, shortens both: the tests use it). TLS
// certificates are verified against the system's trust store, or the file
// SSL_CERT_FILE names when it is set. SIGPIPE from a closed socket is kept
// from the process.
//
// Request headers: with a headers block, exactly its pairs; without one,
// the three defaults (Content-Type, Accept-Charset, User-Agent). Headers
// libcurl would add on its own (Accept, Expect, Content-Type) are left out
// unless given. HEAD asks for no body; GET and HEAD send none; other
// methods send the body given (a string as UTF-8, a binary as its bytes).
//
// Interface for url! read and write ("http" URLs):
//   http::request(method, url, headers_or_null, body_or_null, binary, lines, info)
// pushes the result (body, or [status headers body] with info) or none on
// any failure: a transport error, a refused certificate, a time-out. An
// HTTP error status (404...) is no failure: its body is returned.
#pragma once

#include "runtime/cell.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oru::http {

// The default time-outs in seconds (connecting; without a received byte).
constexpr long connect_timeout = 60;
constexpr long idle_timeout = 30;

// The method text of a word: GET, HEAD, POST, or the spelling upper-cased.
std::string method_text(const Cell& method);

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One exchange, below the language's values: the method text, the URL, the
// request headers (null: the defaults) and the body (null: none). `ok` is
// false on any failure; otherwise the final response's status, headers (in
// order, as received) and body.
struct Exchange {
    bool ok = false;
    long status = 0;
    HeaderList headers;
    std::string body;
};
Exchange perform(const std::string& method, const std::string& url, const HeaderList* headers,
                 const std::string* body);

// One received header line (its CR LF included or not): a status line
// ("HTTP/...") starts the set again, so that after redirects and interim
// responses the final response's headers remain; "Name: value" adds the
// pair, the blanks around the value (and before the colon) removed; any
// other line is skipped: the blank line that ends the headers, and one
// whose name is empty or holds a blank or control character.
void take_header_line(HeaderList& headers, std::string_view line);

// The key/value block of a header map: one word per name (names compared
// ignoring case, in order of first appearance), its value a string, or a
// block of strings when the name came more than once. Pushed.
Cell* push_header_block(const HeaderList& headers);

// Performs the request. method: a word; url: any string-like value;
// headers: a block! of name/value pairs or null; body: binary!, string! or
// null. Pushes and returns the result: the body as binary! (binary), block!
// of lines (lines) or string!; with info the block [status headers body],
// status an integer! and headers a map! of the final response (a repeated
// name gives a block! of its values). None on failure.
Cell* request(const Cell& method, const Cell& url, const Cell* headers, const Cell* body, bool binary, bool lines,
              bool info);

}  // namespace oru::http
