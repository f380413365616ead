// Start-up from the boot image: the library comes decoded, never lexed.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "runtime/runtime.h"

#include <gtest/gtest.h>

using namespace oru;

namespace {

TEST(BootImage, StartUpLexesNothing) {
    // A second start-up in the process must not lex either. The one text
    // start-up loads is the version string, which becomes a tuple.
    for (int round = 0; round < 2; round++) {
        runtime_init();
        const u64 before = lexer::scan_count;
        boot::define_base();
        EXPECT_EQ(lexer::scan_count, before + 1) << "round " << round;
        runtime_shutdown();
    }
}

}  // namespace
