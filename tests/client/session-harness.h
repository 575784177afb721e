// What the session tests share: tolvard -c started as a real account on pipes or a
// pseudo-terminal, a scripted stand-in for the server on the account's socket, and API
// packets as a program writes and reads them.
#ifndef TOLVAR_TESTS_CLIENT_SESSION_HARNESS_H
#define TOLVAR_TESTS_CLIENT_SESSION_HARNESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "testing/support.h"

namespace st {

// Starts "tolvard -c user" as account a in its home with env (tt::ssh_env and friends).
bool start_session(const tt::Account &a, const std::string &user, const std::vector<std::string> &env,
		   tt::Process *p, bool pty = false);
// Runs a session to its end with no input; returns its exit status (-1 on time-out).
int run_session(const tt::Account &a, const std::string &user, const std::vector<std::string> &env,
		std::string *out, std::string *err, int timeout_ms = 20000);
// env with NAME=... replaced (or added); an empty value removes NAME when remove is true.
std::vector<std::string> with_env(std::vector<std::string> env, const std::string &name, const std::string &value,
				  bool remove = false);

// A listening socket at the account's "socket" that the test serves by hand.
class FakeServer {
public:
	FakeServer() = default;
	FakeServer(const FakeServer &) = delete;
	FakeServer &operator=(const FakeServer &) = delete;
	~FakeServer();
	bool start(const tt::Account &a);
	// Accepts one session within timeout_ms; -1 on time-out. The caller closes it.
	int accept_one(int timeout_ms = 5000);

private:
	int fd_ = -1;
	std::string path_;
};

// ---- API packets ----

std::string api_packet(uint8_t type, const std::string &fields);
std::string api_hello(uint16_t version = 1);
std::string api_send(const std::string &to, uint8_t kind, const std::string &text);
std::string api_get_motd();
std::string api_get_online_users();
// Reads one whole API packet within timeout_ms (false on end of input or time-out).
bool api_read(int fd, std::string *packet, int timeout_ms = 5000);
// Reads packets until one of type arrives; the others are dropped.
bool api_read_type(int fd, uint8_t type, std::string *packet, int timeout_ms = 5000);
inline uint8_t api_type(const std::string &p) { return p.size() > 4 ? (uint8_t)p[4] : 0; }
uint32_t be32(const std::string &s, size_t offset);
uint16_t be16(const std::string &s, size_t offset);
// Sends a hello and reads the PASS; true when it came.
bool api_handshake(tt::Process &p, std::string *pass = nullptr, uint16_t version = 1);

}  // namespace st

#endif
