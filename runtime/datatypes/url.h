// url!: resource names with a scheme (http://host/a, ftp://h:21/x#top).
//
// A url! value is a string! cell with type 9 whose text is kept decoded; it
// is percent-encoded only when molded (codecs/url_text.h has the codec). It
// is string!'s child: form, compare and every series action are string!'s;
// make, to, mold, the path join, open, read and write are its own. file!
// (file.h) is its child and inherits make, to and the path join.
//
// read and write of a URL whose text begins with "http" go to the HTTP
// request service; any other URL is parsed by the library's
// url-parser/parse-url and handed to a port made from the result. The
// file and HTTP services belong to the io layer, which installs them in
// url::services at start-up; until it does, the actions that need them raise
// internal/not-done. The action table is at the bottom of url.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::url {

// The io layer's file and HTTP entry points. Each takes cells the caller
// keeps alive (data-stack cells; a refinement argument is null when the
// refinement is absent) and returns its result in a data-stack cell it
// pushed. Errors (access/cannot-open ...) are the service's own.
struct Services {
    // read of a file: the file's data (binary!, string!, or a block! of lines)
    // or, for a name that denotes a directory, the listing.
    Cell* (*read_file)(Cell* file, Cell* seek, Cell* part, bool binary, bool lines);
    // write of a file: the data written whole, appended, or at /seek.
    void (*write_file)(Cell* file, Cell* data, Cell* seek, Cell* part, bool binary, bool append, bool lines);
    // delete and rename: logic! of the OS call's success.
    Cell* (*delete_file)(Cell* file);
    Cell* (*rename_file)(Cell* from, Cell* to);
    // query: date! of the last write, or none.
    Cell* (*query_file)(Cell* file);
    // One HTTP request: method word, url!, headers block or none, body
    // (binary!, string!, block!) or none; the body read back (binary! with
    // `binary`, a block! of lines with `lines`, else string!) or with `info`
    // the block [status headers body]; none when the request failed.
    Cell* (*http_request)(Cell* method, Cell* url, Cell* headers, Cell* body, bool binary, bool lines, bool info);
};
extern Services services;

// Pushes a copy of the value on the data stack.
Cell* push(const Cell& value);

// Appends the URL form of the value's text (from its head) to the string:
// the UTF-8 bytes, each byte outside url-safe as "%XX". At most `limit`
// characters when limit >= 0; returns the characters appended.
i32 append_encoded(const Cell& buffer, const Cell& value, i32 limit);

// True when the text from its head begins with "http" (the HTTP road).
bool http_q(const Cell& value);

// Registers url! (type 9, parent string!).
void init();

}  // namespace oru::url
