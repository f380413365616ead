// HTTP requests on libcurl; see http.h.
//
// libcurl, with the dozens of libraries it needs, is loaded at the first
// request, not at start-up (runtime/platform/shared_library.h).
#include "io/http.h"

#include "interpreter/stack.h"
#include "io/io_support.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/platform/shared_library.h"

// Type-checking macros of the header would stand in for the pointers below.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace oru::http {

namespace {

// The headers sent when the caller gives no headers block, in this order.
constexpr const char* default_headers[][2] = {
    {"Content-Type", "application/x-www-form-urlencoded"},
    {"Accept-Charset", "UTF-8"},
    {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"},
};

// Headers libcurl adds by itself unless the request names them.
constexpr const char* suppressed[] = {"Accept", "Expect", "Content-Type"};

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

#define ORU_CURL_FUNCTIONS(X)                                                                           \
    X(curl_global_init) X(curl_easy_init) X(curl_easy_cleanup) X(curl_easy_setopt) X(curl_easy_perform) \
    X(curl_easy_getinfo) X(curl_slist_append) X(curl_slist_free_all)
ORU_CURL_FUNCTIONS(ORU_LIBRARY_POINTER)

// Loads libcurl and initialises it, once; false when it is not there (every
// request then fails as an unreachable host does).
bool global_init() {
    static const bool loaded = platform::load_library("libcurl.so.4", {ORU_CURL_FUNCTIONS(ORU_LIBRARY_SYMBOL)}) &&
                               curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return loaded;
}

// The callbacks run inside curl_easy_perform and must not throw: a buffer
// that cannot grow ends the transfer.
struct Receiving {
    Exchange* x;
    bool out_of_memory = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Receiving*>(user);
    const size_t n = size * count;
    try {
        r->x->body.append(data, n);
    } catch (const std::bad_alloc&) {
        r->out_of_memory = true;
        return 0;
    }
    return n;
}

// Header lines of every response on the way (redirects included) arrive
// here, one per call.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Receiving*>(user);
    const size_t n = size * count;
    try {
        take_header_line(r->x->headers, std::string_view(data, n));
    } catch (const std::bad_alloc&) {
        r->out_of_memory = true;
        return 0;
    }
    return n;
}

// A curl handle and header list, freed on every path.
struct Handle {
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    ~Handle() {
        if (curl) curl_easy_cleanup(curl);
        curl_slist_free_all(list);
    }
    bool add(const std::string& line) {
        curl_slist* l = curl_slist_append(list, line.c_str());
        if (!l) return false;
        list = l;
        return true;
    }
};

long timeout_of(long fallback) {
    const char* t = std::getenv("ORU_HTTP_TEST_TIMEOUT");
    if (!t) return fallback;
    const long v = std::strtol(t, nullptr, 10);
    return v > 0 && v < fallback ? v : fallback;
}

// The header lines to send: the pairs given, or the defaults; then an
// empty setting for each header libcurl would add by itself. False for a
// name or value holding a line break.
bool build_headers(Handle& h, const HeaderList* given) {
    HeaderList defaults;
    if (!given) {
        for (const auto& d : default_headers) defaults.emplace_back(d[0], d[1]);
        given = &defaults;
    }
    for (const auto& [name, value] : *given) {
        if (name.find_first_of("\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
            return false;
        // libcurl drops "Name:" with nothing after it; "Name;" sends it empty.
        if (!h.add(value.empty() ? name + ";" : name + ": " + value)) return false;
    }
    for (const char* s : suppressed) {
        bool named = false;
        for (const auto& p : *given) named = named || same_name(p.first, s);
        if (!named && !h.add(std::string(s) + ":")) return false;
    }
    return true;
}

Cell* push_string(const std::string& s) {
    return io::push_text(reinterpret_cast<const u8*>(s.data()), s.size(), type::string, false);
}

Cell* push_body(const std::string& body, bool binary, bool lines) {
    const auto* bytes = reinterpret_cast<const u8*>(body.data());
    if (binary) {
        if (body.size() > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
        return binary::load_in(bytes, static_cast<i32>(body.size()), nullptr);
    }
    if (lines) return io::push_lines(bytes, body.size());
    return io::push_text(bytes, body.size());
}

}  // namespace

void take_header_line(HeaderList& headers, std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.rfind("HTTP/", 0) == 0) {
        headers.clear();
        return;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    // The name: blanks before the colon dropped; a line whose name is empty
    // or holds a control character or blank is no header.
    size_t name_end = colon;
    while (name_end > 0 && (line[name_end - 1] == ' ' || line[name_end - 1] == '\t')) name_end--;
    if (name_end == 0) return;
    for (size_t i = 0; i < name_end; i++) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c <= ' ' || c == 0x7F) return;
    }
    size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) v++;
    size_t end = line.size();
    while (end > v && (line[end - 1] == ' ' || line[end - 1] == '\t')) end--;
    headers.emplace_back(std::string(line.substr(0, name_end)), std::string(line.substr(v, end - v)));
}

std::string method_text(const Cell& method) {
    std::string m;
    io::append_spelling(method, m);
    for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return m;
}

Exchange perform(const std::string& method, const std::string& url, const HeaderList* headers,
                 const std::string* body) {
    Exchange x;
    if (!global_init()) return x;
    Receiving r{&x};
    Handle h;
    if (!h.curl || url.find('\0') != std::string::npos || !build_headers(h, headers)) return x;
    CURL* c = h.curl;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, timeout_of(connect_timeout));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, timeout_of(idle_timeout));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca) curl_easy_setopt(c, CURLOPT_CAINFO, ca);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.list);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    const bool sends_body = body && method != "GET" && method != "HEAD";
    if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
        if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (method == "POST" || sends_body) {
            static const char nothing[1] = {0};
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sends_body ? body->size() : 0));
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, sends_body ? body->data() : nothing);
        }
    }
    CURLcode done;
    {
        io::SigpipeGuard guard;
        done = curl_easy_perform(c);
    }
    if (r.out_of_memory) throw std::bad_alloc();
    if (done != CURLE_OK) {
        x.headers.clear();
        x.body.clear();
        return x;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &x.status);
    x.ok = true;
    return x;
}

Cell* push_header_block(const HeaderList& headers) {
    Cell* blk = stack::push();
    block::make_at(*blk, static_cast<i32>(headers.size() * 2 + 2));
    std::vector<bool> taken(headers.size(), false);
    for (size_t i = 0; i < headers.size(); i++) {
        if (taken[i]) continue;
        const std::string& name = headers[i].first;
        // The name as a word: its bytes decoded leniently first, as a server
        // may send any bytes.
        push_string(name);
        const i32 sym = symbol::make_from_string(*(stack::top - 1));
        stack::pop(1);
        word::make_in(sym, *blk);
        std::vector<size_t> same{i};
        for (size_t k = i + 1; k < headers.size(); k++)
            if (!taken[k] && same_name(headers[k].first, name)) {
                taken[k] = true;
                same.push_back(k);
            }
        if (same.size() == 1) {
            push_string(headers[i].second);
        } else {
            Cell* values = stack::push();
            block::make_at(*values, static_cast<i32>(same.size()));
            for (size_t k : same) {
                push_string(headers[k].second);
                block::rs_append(*values, *(stack::top - 1));
                stack::pop(1);
            }
        }
        block::rs_append(*blk, *(stack::top - 1));
        stack::pop(1);
    }
    return blk;
}

Cell* request(const Cell& method_arg, const Cell& url_arg, const Cell* headers_arg, const Cell* body_arg,
              bool binary, bool lines, bool info) {
    const std::string method = method_text(method_arg);
    std::string url;
    io::append_utf8(url_arg, url);
    HeaderList headers;
    if (headers_arg) {
        const Cell blk = *headers_arg;
        const i32 n = block::rs_length_q(blk);
        const i32 head = cell::head_index(blk);
        for (i32 i = 0; i + 1 < n; i += 2) {
            std::string name, value;
            io::append_spelling(*block::rs_abs_at(blk, head + i), name);
            const Cell v = *block::rs_abs_at(blk, head + i + 1);
            if (cell::type_of(v) == type::string) io::append_utf8(v, value);
            else value = io::formed(v);
            headers.emplace_back(std::move(name), std::move(value));
        }
    }
    std::string body;
    const bool has_body = body_arg && (cell::type_of(*body_arg) == type::binary || cell::type_of(*body_arg) == type::string);
    if (has_body && cell::type_of(*body_arg) == type::binary)
        body.assign(reinterpret_cast<const char*>(binary::rs_head(*body_arg)),
                    static_cast<size_t>(binary::rs_length_q(*body_arg)));
    else if (has_body)
        io::append_utf8(*body_arg, body);
    Exchange x;
    try {
        x = perform(method, url, headers_arg ? &headers : nullptr, has_body ? &body : nullptr);
    } catch (const std::bad_alloc&) {
        fire(ErrorId::internal_no_memory);
    }
    if (!x.ok) return stack::push(cell::make(type::none));
    if (!info) return push_body(x.body, binary, lines);
    Cell* result = stack::push();
    block::make_at(*result, 3);
    block::rs_append(*result, cell::integer(static_cast<i32>(x.status)));
    io::block_to_map(push_header_block(x.headers));
    block::rs_append(*result, *(stack::top - 1));
    stack::pop(1);
    push_body(x.body, binary, lines);
    block::rs_append(*result, *(stack::top - 1));
    stack::pop(1);
    return result;
}

}  // namespace oru::http
