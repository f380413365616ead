// Loading libraries at their first use: dlopen and dlsym.
#include "runtime/platform/shared_library.h"

#include <dlfcn.h>

namespace oru::platform {

bool load_library(const char* soname, std::initializer_list<LibrarySymbol> symbols) {
    void* lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    for (const LibrarySymbol& s : symbols) {
        *s.pointer = dlsym(lib, s.name);
        if (*s.pointer) continue;
        for (const LibrarySymbol& t : symbols) *t.pointer = nullptr;
        return false;
    }
    return true;
}

}  // namespace oru::platform
