// Durations as administrators type them and people read them: 30s, 10m, 2h, 1d.
#ifndef TOLVAR_COMMON_DURATION_H
#define TOLVAR_COMMON_DURATION_H

#include <cstddef>
#include <cstdint>

// Longest duration parse_duration accepts: a year.
constexpr uint64_t DURATION_MAX_SECONDS = (uint64_t)366 * 24 * 3600;

// Parses a positive number followed by one unit letter (s, m, h or d; none means seconds)
// into seconds. 0, or -1 when text is not such a duration or exceeds DURATION_MAX_SECONDS.
int parse_duration(const char *text, uint64_t *seconds);

// Writes seconds as its two largest units ("1d 2h", "2h 5m", "9m 59s", "42s") into out
// (size bytes, NUL-terminated). Returns out.
const char *format_duration(uint64_t seconds, char *out, size_t size);

#endif
