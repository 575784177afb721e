// Logins over SSH on the loopback interface, for the end-to-end tests and the login
// benchmark: free TCP ports, key pairs made by ssh-keygen and registered with tolvaradm, a
// private sshd with its own host key and configuration, and ssh client command lines.
#ifndef TOLVAR_TESTING_SSHD_H
#define TOLVAR_TESTING_SSHD_H

#include <string>
#include <vector>

#include "testing/support.h"

namespace tt {

// ---- loopback TCP ----

// A port on 127.0.0.1 that was free a moment ago; -1 on failure.
int free_port();
// A connection to 127.0.0.1:port (TCP_NODELAY); -1 with errno on failure.
int connect_tcp(int port);
// Waits up to timeout_ms (scaled as by scaled_ms) until 127.0.0.1:port accepts connections.
bool wait_for_port(int port, int timeout_ms);

// ---- keys and accounts ----

// An ed25519 key pair without passphrase at path and path.pub. False on failure.
bool make_key(const std::string &path, const std::string &comment);
// Registers the public key in public_key_path (its first line) for the chat user with
// tolvaradm adduser. False, with what tolvaradm said in *err, on failure.
bool register_key(const std::string &public_key_path, const std::string &user, std::string *err);
// Gives the account a password that matches nothing: sshd refuses logins to locked accounts.
bool unlock_for_ssh(const std::string &account);

// ---- the daemon ----

struct Sshd {
	std::string dir;	// host key, configuration, pid file
	int port = -1;
	Process proc;
};

// Starts sshd on a free port of 127.0.0.1 for the accounts in allow_users (separated by
// spaces): public keys only; the service account's settings are those of the shipped drop-in. Its files go to dir, which must exist. Waits until it accepts connections.
bool start_sshd(const std::string &dir, const std::string &allow_users, Sshd *out);
void stop_sshd(Sshd *s);
// The ssh client's arguments for 127.0.0.1 at port with the private key key only, no
// configuration file, no known hosts and no questions; the caller adds -T or -tt, the
// destination and the command.
std::vector<std::string> ssh_argv(const std::string &key, int port);

}  // namespace tt

#endif
