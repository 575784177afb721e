#include "testing/sshd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "testing/proc-files.h"

namespace tt {

// ---- loopback TCP ----

int free_port()
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	int port = -1;
	if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
	    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
		port = ntohs(a.sin_port);
	if (fd >= 0)
		close(fd);
	return port;
}

int connect_tcp(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons((uint16_t)port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
		int saved = errno;
		close(fd);
		errno = saved;
		return -1;
	}
	int one = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	return fd;
}

bool wait_for_port(int port, int timeout_ms)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	do {
		int fd = connect_tcp(port);
		if (fd >= 0) {
			close(fd);
			return true;
		}
		usleep(10000);
	} while (now_ms() < end);
	return false;
}

// ---- keys and accounts ----

bool make_key(const std::string &path, const std::string &comment)
{
	return shell("ssh-keygen -q -t ed25519 -N '' -C " + shell_quote(comment) + " -f " + shell_quote(path)) == 0;
}

bool register_key(const std::string &public_key_path, const std::string &user, std::string *err)
{
	std::string key;
	if (!read_file(public_key_path, &key)) {
		*err = public_key_path + ": cannot be read";
		return false;
	}
	Spec s;
	s.argv = {tolvaradm_path(), "adduser", "-f", "-a", key.substr(0, key.find('\n')), user};
	s.env = {"PATH=/usr/bin:/bin"};
	std::string out;
	return run(s, &out, err) == 0;
}

bool unlock_for_ssh(const std::string &account) { return shell("usermod -p '*' " + shell_quote(account)) == 0; }

// ---- the daemon ----

bool start_sshd(const std::string &dir, const std::string &allow_users, Sshd *out)
{
	out->dir = dir;
	out->port = free_port();
	std::string config = dir + "/sshd_config";
	FILE *f = fopen(config.c_str(), "w");
	if (out->port < 0 || f == nullptr || !make_key(dir + "/host_key", "host")) {
		if (f != nullptr)
			fclose(f);
		return false;
	}
	// The service account's settings are the shipped drop-in's, included last.
	fprintf(f,
		"Port %d\nListenAddress 127.0.0.1\nHostKey %s/host_key\nPidFile %s/sshd.pid\nAllowUsers %s\n"
		"UsePAM no\nPubkeyAuthentication yes\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
		"PrintMotd no\nPrintLastLog no\nUseDNS no\nMaxStartups 100\nLogLevel ERROR\n"
		"Include %s/dist/sshd-tolvar.conf\n",
		out->port, dir.c_str(), dir.c_str(), allow_users.c_str(), TOLVAR_SOURCE_DIR);
	if (fclose(f) != 0)
		return false;
	mkdir("/run/sshd", 0755);	// its privilege separation directory
	Spec s;
	s.argv = {"/usr/sbin/sshd", "-D", "-e", "-f", config};
	s.env = {"PATH=/usr/sbin:/usr/bin:/bin"};
	s.stdin_null = true;
	return spawn(s, &out->proc) && wait_for_port(out->port, 10000);
}

void stop_sshd(Sshd *s)
{
	s->proc.kill_now(SIGTERM);
	s->proc.wait(5000);
}

std::vector<std::string> ssh_argv(const std::string &key, int port)
{
	return {"/usr/bin/ssh", "-F", "/dev/null", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
		"-o", "UserKnownHostsFile=/dev/null", "-o", "IdentitiesOnly=yes", "-o", "LogLevel=ERROR",
		"-i", key, "-p", std::to_string(port)};
}

}  // namespace tt
