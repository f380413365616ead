// Libraries loaded at their first use instead of with the program.
//
// Linking a library makes every start of the program map and relocate it
// and everything it needs; a library that only some scripts use (HTTP, the
// image file formats) is loaded the first time one of them needs it. A
// module lists the functions it calls in an X-macro and declares, in its own
// namespace, a pointer of each function's name, which hides the header's
// declaration so that calls read as the library's own:
//
//     #define PNG_FUNCTIONS(X) X(png_image_free) X(png_image_finish_read)
//     PNG_FUNCTIONS(ORU_LIBRARY_POINTER)
//     bool png_loaded() {
//         static const bool loaded = platform::load_library("libpng16.so.16", {PNG_FUNCTIONS(ORU_LIBRARY_SYMBOL)});
//         return loaded;
//     }
#pragma once

#include <initializer_list>

namespace oru::platform {

struct LibrarySymbol {
    void** pointer;
    const char* name;
};

// Opens the library (by its run-time name) and sets each pointer to its
// symbol. False, with every pointer left null, when the library or one of
// the symbols is missing.
bool load_library(const char* soname, std::initializer_list<LibrarySymbol> symbols);

}  // namespace oru::platform

#define ORU_LIBRARY_POINTER(name) decltype(&::name) name = nullptr;
#define ORU_LIBRARY_SYMBOL(name) ::oru::platform::LibrarySymbol{reinterpret_cast<void**>(&name), #name},
