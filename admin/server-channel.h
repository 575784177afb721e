// The administrator's channel to the running chat server: its socket in the home directory.
#ifndef TOLVAR_ADMIN_SERVER_CHANNEL_H
#define TOLVAR_ADMIN_SERVER_CHANNEL_H

#include "common/holders.h"
#include "protocol/admin-protocol.h"

// What server_channel_open returns when no server runs.
constexpr int SERVER_CHANNEL_ABSENT = -2;

// Connects to the server's socket "socket" in the working directory (the account's home).
// Returns the descriptor (caller closes), SERVER_CHANNEL_ABSENT when no server listens there
// (nothing printed), or -1 after saying why.
int server_channel_open(void);
// As server_channel_open, but says so when no server runs (and returns -1 then).
int server_channel_open_or_say(void);

// An answer of the server: the packet (owned) and its view.
struct ServerAnswer {
	MallocPtr<unsigned char> packet;
	LocalPacketView view = {};
};

// Sends request (its admin_uid filled in here) on fd and reads the answer, which must be of
// answer_type. Returns 0, or -1 after saying why: the server refused or failed (an
// ADMIN_RESULT with a negative result in place of another answer), went away, or sent
// something else.
int server_channel_ask(int fd, AdminRequest request, int32_t answer_type, ServerAnswer *answer);
// One request on a connection of its own: server_channel_open_or_say, then server_channel_ask.
// 0, or -1 after saying why (also when no server runs).
int server_channel_request(const AdminRequest &request, int32_t answer_type, ServerAnswer *answer);

// Asks the server who is on: *list gets the sessions of its answer (every entry checked, so
// admin_session_entry succeeds for each). 0, or -1 after saying why.
int server_channel_sessions(ServerAnswer *answer, AdminListView *list);

#endif
