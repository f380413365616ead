// String append rates: 10 million characters appended one at a time to one
// string, for a 1-byte text, and for a text that widens to 2 and then 4
// bytes part way. Prints "name rate" lines.
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <chrono>
#include <cstdio>

using namespace oru;

namespace {

void measure(const char* name, long count, u32 (*char_at)(long)) {
    Cell str{};
    string::make_at(str, 0);
    const Node n = cell::node(str);
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < count; i++) string::append_char(n, char_at(i));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-36s %12.0f chars/s  (%ld in %.3f s, length %u)\n", name, count / s, count, s,
                memory::buffer(n)->length());
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    runtime_init();
    constexpr long count = 10'000'000;
    measure("append ASCII", count, [](long i) { return static_cast<u32>('a' + i % 26); });
    measure("append, widening to 2 then 4 bytes", count, [](long i) {
        return i == count / 3 ? 0x20ACu : i == 2 * count / 3 ? 0x1F600u : static_cast<u32>('a' + i % 26);
    });
    runtime_shutdown();
    return 0;
}
