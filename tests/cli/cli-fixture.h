// Black-box tests of the terminal frontend: "tolvard -c NAME" run as a real account, against
// the real server (or a scripted one), on pipes or on a pseudo-terminal.
#ifndef TOLVAR_TESTS_CLI_FIXTURE_H
#define TOLVAR_TESTS_CLI_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/local-protocol.h"
#include "testing/support.h"
#include "tests/cli/text-helpers.h"

namespace ct {

struct SessionOptions {
	std::string mode;			// SSH_ORIGINAL_COMMAND; empty: none (cli)
	bool pty = false;			// on a pseudo-terminal (readline), else pipes (raw input)
	std::vector<std::string> env;		// added to the environment of an SSH session
	std::string path;			// PATH instead of the usual one
	std::string lang = "en_US.UTF-8";	// LANG
};

struct Session {
	tt::Process proc;
	std::string out;	// what arrived on standard output (with a pty: output and error)
	std::string err;	// standard error (pipes)
	bool out_ended = false, err_ended = false;

	// Reads standard output until needle has arrived (true) or timeout_ms has passed.
	bool wait_out(const std::string &needle, int timeout_ms = 10000);
	bool wait_err(const std::string &needle, int timeout_ms = 10000);
	// Reads whatever arrives within ms.
	void read_for(int ms);
	// Reads both until the process has ended; returns its exit code (-1 on time-out).
	int finish(int timeout_ms = 10000);
	void type(const std::string &bytes);
};

// One received packet of a raw peer.
using Packet = tt::DecodedPacket;

class CliTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Starts the session of user and waits until the server lists it.
	void start(Session *s, const std::string &user, const SessionOptions &o = SessionOptions());
	// A raw client logged in as user (closed at the end of the test).
	int peer(const std::string &user);
	// The next packet the peer receives (type -1 on time-out).
	Packet next(int fd, int timeout_ms = 10000);
	// Reads the peer's packets until one of type (and, for presence, of name) arrives.
	Packet expect(int fd, int32_t type, const std::string &name = "", int timeout_ms = 10000);
	// The next message the peer receives from sender (others are skipped).
	Packet message_from(int fd, const std::string &sender, int timeout_ms = 10000);
	// Number of sessions of user that the server lists now.
	int sessions_of(const std::string &user);
	// Sends a message as the peer.
	void say(int fd, const std::string &to, const std::string &text, int32_t kind = MESSAGE_KIND_PLAIN);
	void write_home_file(const std::string &name, const std::string &content);
	std::string read_home_file(const std::string &name);
	std::string prefs_path(const std::string &user) { return account_.home + "/users-preferences/" + user; }
	// Whether the server was started (SetUp starts it unless start_real_server_ is false).
	bool start_real_server_ = true;

	tt::Account account_;
	tt::Server server_;
	std::vector<int> peers_;
	int announcer_ = -1;	// a peer that asks the server who is online
};

}  // namespace ct

#endif
