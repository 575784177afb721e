// The monotonic clock of the tests' time-outs and the benchmarks' measurements.
#ifndef TOLVAR_TESTING_CLOCK_H
#define TOLVAR_TESTING_CLOCK_H

#include <time.h>

#include <cstdint>

namespace tt {

inline int64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

inline int64_t now_ms() { return now_ns() / 1000000; }

}  // namespace tt

#endif
