// The server's counters for the operator: what has happened since the start, and what is
// connected now (counted when asked).
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "server/server-internal.h"

namespace {

uint64_t counters[COUNTER_COUNT];
struct timespec started_monotonic;

int compare_names(const void *a, const void *b)
{
	return strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

// Logged-in sessions now, and in *users the distinct names among them.
uint64_t count_sessions(uint64_t *users)
{
	static const char *names[SERVER_SLOT_COUNT];
	size_t n = 0;
	for (int i = 0; i <= server.highest_fd && i < SERVER_SLOT_COUNT; i++)
		if (FD_ISSET(i, &server.clients) && server.slots[i].user[0] != '\0')
			names[n++] = server.slots[i].user;
	qsort(names, n, sizeof names[0], compare_names);
	uint64_t distinct = 0;
	for (size_t i = 0; i < n; i++)
		if (i == 0 || strcmp(names[i - 1], names[i]) != 0)
			distinct++;
	*users = distinct;
	return n;
}

}  // namespace

void stats_start(void)
{
	memset(counters, 0, sizeof counters);
	counters[COUNTER_STARTED] = (uint64_t)time(nullptr);
	clock_gettime(CLOCK_MONOTONIC, &started_monotonic);
}

void stats_add(ServerCounter counter, uint64_t n)
{
	counters[counter] += n;
}

void stats_delivery(uint64_t bytes)
{
	counters[COUNTER_DELIVERIES]++;
	counters[COUNTER_BYTES_DELIVERED] += bytes;
}

void stats_sessions_now(uint64_t now)
{
	if (now > counters[COUNTER_SESSIONS_PEAK])
		counters[COUNTER_SESSIONS_PEAK] = now;
}

void stats_fill(uint64_t values[COUNTER_COUNT])
{
	memcpy(values, counters, sizeof counters);
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	values[COUNTER_UPTIME] = (uint64_t)(now.tv_sec - started_monotonic.tv_sec);
	values[COUNTER_SESSIONS] = count_sessions(&values[COUNTER_USERS]);
}
