// Running a live chat: what the server keeps of each session for the administrator, the
// administrator's requests, mutes, the per-user session cap, and the server's counters.
#ifndef TOLVAR_SERVER_MODERATION_H
#define TOLVAR_SERVER_MODERATION_H

#include <cstdint>
#include <ctime>
#include <string_view>

#include "protocol/admin-protocol.h"

// What the administrator sees of one session (a field of its connection slot).
struct SessionActivity {
	time_t since;		// login
	time_t last_post;	// last post routed, or the login before the first
	uint64_t posts;		// posts routed
};

// What one connection may still send before flood control holds it back (a field of its
// connection slot): token buckets of posts and of bytes.
struct FloodBucket {
	double posts;		// posts it may send now, at most the burst
	double bytes;		// bytes it may send now; below 0 after a packet larger than what was left
	int64_t refilled_ns;	// when the buckets were last refilled (monotonic clock)
	int64_t held_until_ns;	// while it is held back: when it may be read again; 0 otherwise
};

// Start-up, after the system log is open: the settings from the environment, the saved
// mutes, the counters' clock, flood control.
void moderation_start(void);
// A whole number from 0 to max in the environment variable name; fallback when it is not set
// or empty, and when it is not such a number (which is logged).
long server_setting(const char *name, long fallback, long max);

// --- sessions (moderation.cpp) ---

// Whether the login of user on fd must be refused for the per-user session cap; when it
// must, the refusal has been sent and logged, and the connection stays as it was (not
// logged in under that name).
bool session_cap_refuses(int fd, const char *user, const char *host);
// A login on fd has been accepted: its activity starts now.
void moderation_login(int fd);
// Whether the post of logged-in fd may go on: false when its user is muted (the post is
// dropped and the poster told); otherwise the post is counted in its activity.
bool moderation_admit_post(int fd);

// --- mutes (moderation.cpp) ---

// Mutes user for seconds from now (replacing an earlier mute) and saves the mutes. 0, or
// -errno when they could not be saved (the mute holds until the server ends).
int mute_user(const char *user, uint64_t seconds);
// 1 when user was muted and is no more, 0 when it was not muted, -errno as mute_user.
int unmute_user(const char *user);
// Sends fd the list of mutes in force.
void send_mutes(int fd);

// --- the administrator's requests (admin.cpp); each returns -1 for a malformed packet ---

int handle_admin_who(int fd, unsigned char *bytes, const LocalPacketView &packet);
int handle_admin_kick(int fd, unsigned char *bytes, const LocalPacketView &packet);
int handle_admin_mute(int fd, unsigned char *bytes, const LocalPacketView &packet);
int handle_admin_unmute(int fd, unsigned char *bytes, const LocalPacketView &packet);
int handle_admin_list_mutes(int fd, unsigned char *bytes, const LocalPacketView &packet);
int handle_admin_stats(int fd, unsigned char *bytes, const LocalPacketView &packet);
// Ends every session of user, each told first with message. Returns the number ended.
int kick_user(const char *user, std::string_view message);

// --- flood control (flood.cpp) ---
//
// Posts and online-user requests spend a connection's buckets; one that has spent either is
// not read (it leaves the readiness wait) until it has refilled. The loop asks how long it may
// wait and releases the connections whose time has come; the handlers know nothing of it.

// The limits from the environment (TOLVAR_FLOOD_*).
void flood_start(void);
// Full buckets for a new connection.
void flood_slot_init(FloodBucket *bucket);
// Charges fd for a whole packet of type that took bytes on the wire.
void flood_charge(int fd, int32_t type, uint64_t bytes);
// Whether fd may be read now. When it may not, it is held back: no longer watched until it has
// refilled, and counted.
bool flood_admit(int fd);
// Milliseconds until the first held connection has refilled; -1 when none is held.
int flood_timeout_ms(void);
// Watches again every held connection that has refilled.
void flood_release(void);
// Forgets a connection that closes.
void flood_forget(int fd);

// --- counters (stats.cpp) ---

void stats_start(void);
void stats_add(ServerCounter counter, uint64_t n);
// One message handed to a recipient: its packet's size in bytes.
void stats_delivery(uint64_t bytes);
// Raises the peak of sessions to now when above it.
void stats_sessions_now(uint64_t now);
// All counters as they stand, in ServerCounter order.
void stats_fill(uint64_t values[COUNTER_COUNT]);

#endif
