// The halt request: a flag that SIGINT sets while a console command runs,
// tested by the evaluator at every block it enters (each loop iteration and
// each function call), with one relaxed load. When set, the evaluator
// clears it and throws the word `halt-request` with the name `console`, as
// `halt` does, so the console drops the command and prints "(halted)".
#pragma once

#include <atomic>

namespace oru::halt {

extern std::atomic<bool> requested;

inline bool pending() { return requested.load(std::memory_order_relaxed); }

}  // namespace oru::halt
