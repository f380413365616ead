// Limits a test harness puts on one program run; see budget.h.
#include "runtime/budget.h"

namespace oru::budget {

u64 steps_left = ~u64{0};
u64 os_bytes = 0;
void (*spent)() = nullptr;

void out_of_steps() {
    if (spent) spent();
    else steps_left = ~u64{0};
}

void check_os_bytes(u64 total, u64 bytes) {
    if (total + bytes > os_bytes && spent) spent();
}

}  // namespace oru::budget
