#include "common/duration.h"

#include <cstdio>
#include <cstring>

#include "common/wire-reader.h"

namespace {

struct DurationUnit {
	char letter;
	uint64_t seconds;
};

// Largest first: format_duration takes the first unit that fits.
const DurationUnit duration_units[] = {
	{'d', (uint64_t)24 * 3600},
	{'h', 3600},
	{'m', 60},
	{'s', 1},
};

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

int parse_duration(const char *text, uint64_t *seconds)
{
	WireReader r(text, strlen(text));
	std::string_view digits = r.get_while(is_digit);
	if (digits.empty() || digits.size() > 9)
		return -1;
	uint64_t n = 0;
	for (char c : digits)
		n = n * 10 + (uint64_t)(c - '0');
	uint64_t unit = 1;
	uint8_t letter;
	if (r.get_u8(&letter) == 0) {
		unit = 0;
		for (const DurationUnit &u : duration_units)
			if (u.letter == (char)letter)
				unit = u.seconds;
		if (unit == 0 || !r.empty())
			return -1;
	}
	if (n == 0 || n > DURATION_MAX_SECONDS / unit)
		return -1;
	*seconds = n * unit;
	return 0;
}

const char *format_duration(uint64_t seconds, char *out, size_t size)
{
	const size_t count = sizeof duration_units / sizeof duration_units[0];
	size_t i = 0;
	while (i < count - 1 && seconds < duration_units[i].seconds)
		i++;
	const DurationUnit &big = duration_units[i];
	uint64_t high = seconds / big.seconds;
	if (i == count - 1) {
		snprintf(out, size, "%llu%c", (unsigned long long)high, big.letter);
		return out;
	}
	const DurationUnit &small = duration_units[i + 1];
	uint64_t low = seconds % big.seconds / small.seconds;
	snprintf(out, size, "%llu%c %llu%c", (unsigned long long)high, big.letter, (unsigned long long)low,
		 small.letter);
	return out;
}
