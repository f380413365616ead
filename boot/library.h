// The library source that start-up evaluates: the texts of the modules of
// boot/modules.cmake, embedded at build time in their order.
#pragma once

namespace oru::boot {

struct LibraryModule {
    const char* file;  // the module's path in the source tree, for error reports
    const char* text;  // UTF-8, with its header
};

extern const LibraryModule library_modules[];
extern const int library_module_count;

}  // namespace oru::boot
