// The collector's state. Until the marking and compaction phases exist,
// collection finds nothing to do: enabling it only counts cycles, so that
// callers already follow the discipline that a moving collector needs.
#include "runtime/collector.h"

namespace oru::collector {

namespace {
bool enabled = false;
u32 cycle_count = 0;
}  // namespace

void collect_if_enabled() {
    if (!enabled) return;
    cycle_count++;
}

u32 cycles() { return cycle_count; }

bool stress() { return false; }

bool enable(bool on) {
    bool was = enabled;
    enabled = on;
    return was;
}

}  // namespace oru::collector
