// The server's counters for the operator: what has happened since the start, and what is
// connected now (counted when asked).
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>

#include "common/holders.h"
#include "server/bus.h"
#include "server/server-internal.h"

namespace {

uint64_t counters[COUNTER_COUNT];
struct timespec started_monotonic;

int compare_names(const void *a, const void *b)
{
	return strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

// Logged-in sessions now, and in *users the distinct names among them (0 when there is no
// memory to count them).
uint64_t count_sessions(uint64_t *users)
{
	size_t n = 0;
	for (int i = 0; i <= server.highest_fd; i++)
		if (client_has(i, CLIENT_CONNECTED) && server.slots[i].user[0] != '\0')
			n++;
	*users = 0;
	MallocPtr<const char *> names(static_cast<const char **>(malloc((n > 0 ? n : 1) * sizeof(const char *))));
	if (names == nullptr) {
		syslog(LOG_ERR, "stats: out of memory");
		return n;
	}
	size_t k = 0;
	for (int i = 0; i <= server.highest_fd && k < n; i++)
		if (client_has(i, CLIENT_CONNECTED) && server.slots[i].user[0] != '\0')
			names.get()[k++] = server.slots[i].user;
	qsort(names.get(), k, sizeof(const char *), compare_names);
	for (size_t i = 0; i < k; i++)
		if (i == 0 || strcmp(names.get()[i - 1], names.get()[i]) != 0)
			++*users;
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
	if (cluster_active()) {
		BusCounters bus;
		bus_counters(&bus);
		values[COUNTER_SERVERS] = (uint64_t)cluster_server_count();
		values[COUNTER_SESSIONS_ELSEWHERE] = cluster_session_count();
		values[COUNTER_BUS_CONNECTED] = bus.connected ? 1 : 0;
		values[COUNTER_BUS_SENT] = bus.sent;
		values[COUNTER_BUS_RECEIVED] = bus.received;
		values[COUNTER_BUS_DROPPED] = bus.dropped;
	}
}
