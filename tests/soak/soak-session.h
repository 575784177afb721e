// One session of the soak run: a raw client on the server socket, or a real "tolvard -c"
// api session on pipes. Both are driven without blocking from the run's one poll loop:
// what the test sends waits in a queue until the descriptor takes it, and what arrives is
// cut into whole packets by their length fields and decoded into events.
#ifndef TOLVAR_TESTS_SOAK_SESSION_H
#define TOLVAR_TESTS_SOAK_SESSION_H

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "testing/support.h"

namespace soak {

enum class Kind { RAW, API };

// How a session ended, as far as the test knows.
enum class End {
	ALIVE,		// still connected
	CLOSED,		// raw: closed by the test; api: standard input closed, output read to its end
	HARD_CLOSED,	// api: every pipe closed at once
	KILLED,		// api: kill -9
	DROPPED,	// a client that stopped reading, dropped by the server
	SERVER_KILLED,	// its server was killed (three-server form)
	LOST,		// ended without the test asking: a fault
};

const char *end_name(End e);

// One packet a session received, decoded from either protocol.
struct Event {
	enum Type { MESSAGE, PRESENCE, NOT_FOUND, ONLINE_LIST, PASS, ERROR, MOTD } type = MESSAGE;
	std::string from, to, text;	// MESSAGE
	int kind = 0;			// MESSAGE
	std::string name;		// PRESENCE, NOT_FOUND, PASS
	bool online = false;		// PRESENCE
	int your_id = -1;		// ONLINE_LIST
	std::vector<std::pair<int, std::string>> entries;	// ONLINE_LIST: id and user
	uint32_t code = 0;		// ERROR
};

struct Session {
	int id = 0;		// unique in the whole test run; messages name their sender by it
	int slot = -1;		// population slot; -1 for clients that will stop reading and the probe
	int host = 0;		// the server it is on (Context::hosts)
	int instance = 0;	// that server's start it is on
	std::string server_name;	// that server's name on the bus; empty without one
	Kind kind = Kind::RAW;
	std::string name;	// the user name it logs in with
	bool steady = false;	// never hit by a fault
	bool stall_client = false;	// will stop reading
	bool probe = false;	// raw connection that never logs in, for online lists
	std::string encoding;	// raw: the encoding of its login

	int sock = -1;		// raw
	tt::Process proc;	// api
	std::string err_text;	// api: what it wrote on standard error

	std::string in;		// received bytes not yet a whole packet
	std::string out;	// queued bytes; out_sent of them have gone
	size_t out_sent = 0;	// bytes of out already written
	uint64_t queued_total = 0;	// bytes ever queued
	uint64_t written_total = 0;	// bytes ever written
	std::deque<std::pair<uint64_t, uint32_t>> posts;	// end offset and seq of posts not wholly written

	End end = End::ALIVE;
	int64_t joined_tick = -1;	// when its login was seen to have taken effect; -1 before
	int server_id = -1;	// its connection id in the server
	bool stalled = false;	// has stopped reading
	int64_t stall_tick = -1;
	int64_t stalled_ms = 0;
	bool reaped = false;
	bool server_died = false;	// its server was killed before it was read to its end
	bool list_pending = false;	// probe: a request is on its way
	int64_t list_asked_tick = -1;	// probe: when the request on its way was queued
	bool list_matched = false;	// probe: the last list held exactly the sessions expected
	std::set<std::string> listed;	// the users in the online list that answered its login

	uint32_t nobody_posts = 0;	// posts to the name that is never online
	uint32_t nobody_answers = 0;	// user-not-found answers naming it
	std::unordered_map<int, std::vector<uint32_t>> got;	// sender id -> seqs in arrival order
	std::set<int> ends_from;	// senders whose end marker arrived
	std::map<std::string, bool> presence;	// last announcement seen per user
	std::map<std::string, int> offline_seen;	// user-offline announcements per user
	std::map<std::string, int> online_seen;
	uint64_t deliveries = 0;
};

// Connects and queues the login and an online-users request. False with errno.
bool start_raw(Session *s, const std::string &socket_path);
// Starts "tolvard -c name" as account a with an SSH daemon's environment and queues the
// handshake and an online-users request. False when it cannot be started.
bool start_api(Session *s, const tt::Account &a);

// Queues the post of text to to under seq (its bytes are tracked until wholly written).
void queue_post(Session *s, uint32_t seq, const std::string &to, int kind, const std::string &text);
// Queues an online-users request.
void queue_online_request(Session *s);
bool has_output(const Session &s);
// The descriptor the queue goes to (-1 when closed).
int output_fd(const Session &s);

// Writes what the descriptor takes. Appends the seqs of posts now wholly written to *written.
// Returns 0, or -1 when the descriptor is gone (errno set).
int flush(Session *s, std::vector<uint32_t> *written);
// The seqs of posts not wholly written, which the server can never see whole; clears them.
std::vector<uint32_t> unsent_posts(Session *s);

// Reads once from the session's stream (socket, or standard output of an api session) and
// appends the whole packets to *events. Returns 1 after data, 0 at end of file, -1 on a
// read error or a packet that breaks its protocol (*fault says which).
int receive(Session *s, std::vector<Event> *events, std::string *fault);
// Reads once from an api session's standard error into err_text. 0 at its end.
int receive_stderr(Session *s);

// Closes the socket or every pipe (the process is left to end and be reaped).
void close_all(Session *s);

}  // namespace soak

#endif
