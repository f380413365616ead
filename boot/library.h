// The library source that start-up evaluates: the texts of the modules of
// boot/modules.cmake, embedded at build time in their order.
#pragma once

namespace oru::boot {

struct LibraryModule {
    const char* file;  // the module's path in the source tree, for error reports
    const char* text;  // UTF-8, with its header
};

// The define records (natives, actions), read before any module runs.
extern const LibraryModule library_defines[];
extern const int library_defines_count;
// The modules, evaluated in order.
extern const LibraryModule library_modules[];
extern const int library_modules_count;

}  // namespace oru::boot
