// System natives of the output group: extend, to-local-file, size?, wait
// and now.
// Each forwards to a service of a later module (the map! module, the file
// layer, the GUI message loop); where that module is not there yet the least
// is done here on POSIX, and the service entry points below let the module
// take over when it lands.
//
// Files: the language's file form of a path is the POSIX path as it is, so
// the operating-system form is the same text, made absolute against the
// current directory on request. OS text (the current directory) is decoded
// leniently: a byte that is not UTF-8 becomes U+FFFD.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::natives {

u32 extend(bool check, const i32* refinements);
u32 to_local_file(bool check, const i32* refinements);
u32 size_q(bool check, const i32* refinements);
u32 wait(bool check, const i32* refinements);
u32 now(bool check, const i32* refinements);

}  // namespace oru::natives

namespace oru::natives_system {

// Services of later modules, null until they install them.
struct Services {
    // map/extend (map, spec, case flag): adds the spec's key/value pairs to
    // the map. Until set, extend of a map! raises internal/not-done.
    void (*map_extend)(Cell& map, const Cell& spec, bool case_);
    // gui/do-events (no-wait flag): one pass of the GUI message loop. Until
    // set, wait only sleeps.
    void (*do_events)(bool no_wait);
};
extern Services services;

// The operating-system path of a file! (or other string-like) value from its
// head, as UTF-8 bytes. False when the value cannot name a file: it is
// empty, or holds NUL or a code point above 0x10FFFF.
bool os_path(const Cell& file, std::string& out);

// Appends UTF-8 bytes to a string, a byte that is not valid UTF-8 giving
// U+FFFD. The bytes must not lie in a series buffer.
void append_os_text(const Cell& str, const u8* bytes, size_t size);

// Hands extend (83), to-local-file (85), wait (86), now (96) and size? (101)
// to the native table; natives_output::register_all calls it.
void register_all();

}  // namespace oru::natives_system
