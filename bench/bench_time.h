// How long the thread-crossing benchmarks run. They set their own minimum
// time (the default is too short for a steady rate), which the command
// line's --benchmark_min_time does not override; ULMOT_BENCH_SMOKE=1 in the
// environment shortens every one of them to a smoke run.
#pragma once

#include <cstdlib>

namespace ulmot::bench {

inline double MinSeconds(double full) { return std::getenv("ULMOT_BENCH_SMOKE") != nullptr ? 0.05 : full; }

}  // namespace ulmot::bench
