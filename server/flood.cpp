// Flood control: every connection has a budget of posts and one of bytes, token buckets that
// refill at a steady rate up to a burst. Posts and online-user requests spend them. A
// connection that has spent either is not read until it has refilled: it leaves the readiness
// wait and comes back when the loop's timer says so, so nothing it sent is lost, its packets
// keep their order, and everybody else is served meanwhile.
#include <climits>
#include <cstdlib>
#include <ctime>
#include <syslog.h>

#include "server/readiness.h"
#include "server/server-internal.h"

namespace {

struct FloodSetting {
	const char *variable;
	long fallback;
	long max;
};

// Rates per second and bursts; a rate of 0 turns that budget off.
const FloodSetting POSTS_PER_SECOND = {"TOLVAR_FLOOD_POSTS_PER_SECOND", 10, 1000000};
const FloodSetting POST_BURST = {"TOLVAR_FLOOD_POST_BURST", 60, 1000000};
const FloodSetting BYTES_PER_SECOND = {"TOLVAR_FLOOD_BYTES_PER_SECOND", 256L * 1024, 1L << 30};
const FloodSetting BYTE_BURST = {"TOLVAR_FLOOD_BYTE_BURST", 4L * 1024 * 1024, 1L << 30};

struct FloodLimits {
	double posts_per_ns;	// 0: posts are not limited
	double post_burst;
	double bytes_per_ns;	// 0: bytes are not limited
	double byte_burst;
};

FloodLimits limits;

// The held connections, in no order.
int held[SERVER_MAX_CLIENT_FD + 1];
int held_count;

int64_t monotonic_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void refill(FloodBucket *b, int64_t now)
{
	double elapsed = (double)(now - b->refilled_ns);
	b->refilled_ns = now;
	if (elapsed <= 0)
		return;
	b->posts += elapsed * limits.posts_per_ns;
	if (b->posts > limits.post_burst)
		b->posts = limits.post_burst;
	b->bytes += elapsed * limits.bytes_per_ns;
	if (b->bytes > limits.byte_burst)
		b->bytes = limits.byte_burst;
}

// Nanoseconds until b may be read again: a whole post and no debt of bytes.
int64_t wait_ns(const FloodBucket *b)
{
	double wait = 0;
	if (limits.posts_per_ns > 0 && b->posts < 1)
		wait = (1 - b->posts) / limits.posts_per_ns;
	if (limits.bytes_per_ns > 0 && b->bytes < 0) {
		double w = -b->bytes / limits.bytes_per_ns;
		if (w > wait)
			wait = w;
	}
	return (int64_t)wait + 1;
}

bool counted(int32_t type)
{
	return type == LOCAL_PACKET_POST_MESSAGE || type == LOCAL_PACKET_GET_ONLINE_USERS;
}

bool spent(const FloodBucket *b)
{
	return (limits.posts_per_ns > 0 && b->posts < 1) || (limits.bytes_per_ns > 0 && b->bytes < 0);
}

void drop_held(int index)
{
	held[index] = held[--held_count];
}

long flood_setting(const FloodSetting &s)
{
	return server_setting(s.variable, s.fallback, s.max);
}

}  // namespace

void flood_start(void)
{
	long posts = flood_setting(POSTS_PER_SECOND);
	long bytes = flood_setting(BYTES_PER_SECOND);
	limits.posts_per_ns = (double)posts / 1e9;
	limits.post_burst = (double)flood_setting(POST_BURST);
	limits.bytes_per_ns = (double)bytes / 1e9;
	limits.byte_burst = (double)flood_setting(BYTE_BURST);
	// A burst below one post would never let a post through.
	if (limits.post_burst < 1)
		limits.post_burst = 1;
	held_count = 0;
	if (posts == 0 && bytes == 0)
		syslog(LOG_INFO, "flood control off");
	else
		syslog(LOG_INFO, "flood control: %ld posts per second (burst %.0f), %ld bytes per second (burst %.0f)",
		       posts, limits.post_burst, bytes, limits.byte_burst);
}

void flood_slot_init(FloodBucket *b)
{
	b->posts = limits.post_burst;
	b->bytes = limits.byte_burst;
	b->refilled_ns = monotonic_ns();
	b->held_until_ns = 0;
}

void flood_charge(int fd, int32_t type, uint64_t bytes)
{
	if (!counted(type))
		return;
	FloodBucket *b = &server.slots[fd].flood;
	if (limits.posts_per_ns > 0)
		b->posts -= 1;
	if (limits.bytes_per_ns > 0)
		b->bytes -= (double)bytes;
}

bool flood_admit(int fd)
{
	FloodBucket *b = &server.slots[fd].flood;
	if (limits.posts_per_ns <= 0 && limits.bytes_per_ns <= 0)
		return true;
	int64_t now = monotonic_ns();
	refill(b, now);
	if (!spent(b))
		return true;
	// Nothing of it is read until it has refilled: what it sent waits in its socket.
	readiness_forget(fd);
	b->held_until_ns = now + wait_ns(b);
	held[held_count++] = fd;
	stats_add(COUNTER_POSTS_DELAYED, 1);
	return false;
}

int flood_timeout_ms(void)
{
	if (held_count == 0)
		return -1;
	int64_t first = INT64_MAX;
	for (int i = 0; i < held_count; i++) {
		int64_t until = server.slots[held[i]].flood.held_until_ns;
		if (until < first)
			first = until;
	}
	int64_t wait = first - monotonic_ns();
	if (wait <= 0)
		return 0;
	int64_t ms = (wait + 999999) / 1000000;
	return ms > INT_MAX ? INT_MAX : (int)ms;
}

void flood_release(void)
{
	if (held_count == 0)
		return;
	int64_t now = monotonic_ns();
	for (int i = 0; i < held_count;) {
		int fd = held[i];
		FloodBucket *b = &server.slots[fd].flood;
		if (b->held_until_ns > now) {
			i++;
			continue;
		}
		b->held_until_ns = 0;
		drop_held(i);
		if (readiness_watch(fd) < 0) {
			syslog_perror("client fd %d: watching it again after flood control", fd);
			close_client(fd);
		}
	}
}

void flood_forget(int fd)
{
	if (fd < 0 || fd >= server.slot_count || server.slots[fd].flood.held_until_ns == 0)
		return;
	server.slots[fd].flood.held_until_ns = 0;
	for (int i = 0; i < held_count; i++) {
		if (held[i] == fd) {
			drop_held(i);
			return;
		}
	}
}
