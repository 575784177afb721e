// What the parts of the server share: the connection table, the client set, the error logger
// and the one way to send a packet to a client.
#ifndef TOLVAR_SERVER_SERVER_INTERNAL_H
#define TOLVAR_SERVER_SERVER_INTERNAL_H

#include <sys/select.h>

#include <cstddef>
#include <string_view>

#include "server/local-protocol.h"

constexpr int SERVER_MAX_CLIENT_FD = 1023;	// highest descriptor a client may have
constexpr int SERVER_SLOT_COUNT = SERVER_MAX_CLIENT_FD + 1;
constexpr int SERVER_IO_TIMEOUT_SECONDS = 2;	// send and receive time-out of every client

// One connection, indexed by its descriptor (the connection id that clients see).
struct ClientSlot {
	char user[LOCAL_NAME_FIELD];	// empty: not logged in
	char host[LOCAL_HOST_FIELD];
	char *encoding;			// owned; nullptr when the login gave none
	LocalPacketReader reader;
};

// The one server of this process.
struct ServerState {
	ClientSlot slots[SERVER_SLOT_COUNT];
	fd_set clients;		// connected clients (the listening socket is not among them)
	fd_set failed;		// clients whose last write failed: sent nothing more, closed soon
	int listen_fd;
	int highest_fd;		// largest of listen_fd and every client descriptor
	bool closed_in_pass;	// a connection closed since the highest descriptor was computed
};

extern ServerState server;

// Logs at LOG_ERR "<formatted message>: <error text> (<errno>)" for the errno at the call;
// the formatted message is cut at 256 bytes. errno is left as it was.
void syslog_perror(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- connection table (connections.cpp) ---

// An empty slot: no user, no encoding, idle reader.
void slot_init(ClientSlot *slot);
// Whether fd is a connected client with a user name that may still be written to.
bool client_is_recipient(int fd);
// The user name of a slot as a view.
std::string_view slot_user(int fd);
// Writes the whole packet to client fd within one send time-out. A failure (an error, or the
// time-out with the packet only partly sent) puts fd among the failed clients, who are sent
// nothing more and are closed by close_failed_clients. Returns 0, or -1 with errno.
int client_send(int fd, const void *packet, size_t size);
// The closing procedure: close fd, leave the client set, logout step, free the slot.
void close_client(int fd);
// Closes every failed client, and those that fail while they are being announced offline.
void close_failed_clients();
// Recomputes the highest descriptor after a pass in which a connection closed.
void recompute_highest_fd();

// --- login and presence (presence.cpp); each returns -1 for a malformed packet ---

int handle_login(int fd, const LocalPacketView &packet);
int handle_get_online_users(int fd, const LocalPacketView &packet);
// Sends the list of logged-in sessions to fd.
void send_online_users(int fd);
// The presence part of closing fd: offline announcement when user was its last session.
void logout_step(int fd, const char *user);
// Sends a user-online (online true) or user-offline packet for user to every logged-in
// client below limit in set.
void broadcast_user_state(const char *user, bool online, const fd_set *set, int limit);

// --- message routing (routing.cpp) ---

int handle_post_message(int fd, const LocalPacketView &packet);

#endif
