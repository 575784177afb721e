// Fan-out of one sender's messages to everybody: the real server (in both of its send
// designs), the floor (one process writing the same packets straight to N Unix sockets) and
// an IRC server doing the same job (ngircd, one channel). In every case one reader process
// drains all N connections, and the figure is deliveries per second from the first post to
// the last delivery. With --servers, also the server's own fan-out across several servers of
// one chat joined through a three-node NATS cluster. Run as root: it creates throw-away
// accounts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench-support.h"
#include "common/holders.h"
#include "testing/sshd.h"
#include "protocol/local-protocol.h"

namespace {

constexpr size_t TEXT_SIZE = 64;
constexpr const char IRC_CHANNEL[] = "#bench";
constexpr const char IRC_SENDER[] = "bsend";
// The server's connection ids end at 65535; a few descriptors are its own.
constexpr long MAX_CLIENTS = 65000;
// Messages of the flood-control comparison: at its defaults the sender gets a burst of 60 and
// then 10 a second, so M of them would take M / 10 seconds.
constexpr long FLOOD_MESSAGES = 200;

struct Options {
	std::vector<long> clients = {10, 100, 1000};
	long messages = 2000;
	long repetitions = 3;
	long window = 64;	// messages the sender may be ahead of the slowest reader
	long batch = 16;	// messages per write of the sender
	std::string joined;	// server binaries
	std::string direct;
	std::string irc = "/usr/sbin/ngircd";
	bool with_irc = true;
	bool history = false;	// --history: the server also with keeping history off
	bool flood = false;	// --flood: the server with flood control off, at its defaults, and loose
	bool with_direct = true;
	long servers = 1;	// --servers: more than 1, also the fan-out over that many servers
};

void usage(const char *program)
{
	fprintf(stderr,
		"usage: %s [-n N[,N...]] [-m M] [-r R] [-w W] [-b B] [--server PATH] [--direct PATH | --no-direct]\n"
		"          [--irc PATH | --no-irc] [--history] [--flood] [--servers S]\n"
		"  -n  numbers of clients (default 10,100,1000; at most %ld)\n"
		"  -m  messages of %zu bytes that one client posts to GLOBAL (default 2000)\n"
		"  -r  repetitions of each case; the table shows the median (default 3)\n"
		"  -w  messages the sender may be ahead of the slowest reader (default 64)\n"
		"  -b  messages per write of the sender (default 16)\n"
		"  --server  tolvard with joined writes (default $TOLVAR_BENCH_SERVER, else the built tolvard)\n"
		"  --direct  tolvard with one write per recipient (default $TOLVAR_BENCH_DIRECT_SERVER, else\n"
		"            tolvard-direct-sends beside the built tolvard, else the built tolvard)\n"
		"  --no-direct  no column for one write per recipient (slow at thousands of clients)\n"
		"  --irc     the IRC server to compare with (default /usr/sbin/ngircd)\n"
		"  --history also tolvard with keeping history off (TOLVAR_HISTORY_MESSAGES=0), in the same run\n"
		"  --flood   also tolvard with flood control off, at its defaults, and with budgets above the\n"
		"            load, in the same run (at most %ld messages)\n"
		"  --servers also tolvard with the N clients spread over S servers (2 or 3) joined through a\n"
		"            three-node NATS cluster on loopback, the sender on the first, in the same run\n"
		"Run as root.\n",
		program, MAX_CLIENTS, TEXT_SIZE, FLOOD_MESSAGES);
}

// ---- the reader process ----

// What the reader and the sender share (anonymous shared memory made before the fork).
struct Shared {
	std::atomic<int> ready;
	std::atomic<int> failed;
	std::atomic<int64_t> end_ns;
	std::atomic<long> counts[1];	// per connection, messages seen so far (n entries)
};

Shared *map_shared(size_t n)
{
	size_t size = sizeof(Shared) + n * sizeof(std::atomic<long>);
	void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (p == MAP_FAILED) {
		perror("mmap");
		exit(1);
	}
	return static_cast<Shared *>(p);
}

void unmap_shared(Shared *s, size_t n) { munmap(s, sizeof(Shared) + n * sizeof(std::atomic<long>)); }

// How the reader counts messages: whole packets of a fixed size, or lines.
struct Unit {
	size_t packet_size;	// 0: count line ends
};

[[noreturn]] void reader_main(const std::vector<int> &fds, Unit unit, long target, Shared *shared,
			      std::vector<uint64_t> *bytes)
{
	size_t n = fds.size();
	int ep = epoll_create1(0);
	for (size_t i = 0; i < n && ep >= 0; i++) {
		struct epoll_event ev = {};
		ev.events = EPOLLIN;
		ev.data.u32 = (uint32_t)i;
		if (epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev) < 0)
			ep = -1;
	}
	if (ep < 0) {
		shared->failed = 1;
		_exit(1);
	}
	static char buf[1 << 16];
	static struct epoll_event events[1024];
	size_t done = 0;
	int64_t last_progress = tt::now_ns();
	shared->ready = 1;
	while (done < n) {
		int k = epoll_wait(ep, events, 1024, 1000);
		if (k < 0 && errno != EINTR)
			break;
		int64_t now = tt::now_ns();
		if (k <= 0) {
			if (now - last_progress > 30 * 1000000000LL)
				break;
			continue;
		}
		last_progress = now;
		for (int e = 0; e < k; e++) {
			size_t i = events[e].data.u32;
			// MSG_DONTWAIT, not O_NONBLOCK: the sender writes through a shared descriptor.
			ssize_t r = recv(fds[i], buf, sizeof buf, MSG_DONTWAIT);
			if (r < 0 && (errno == EAGAIN || errno == EINTR))
				continue;
			if (r <= 0) {
				shared->failed = 2;
				_exit(1);
			}
			long count;
			if (unit.packet_size == 0) {
				count = shared->counts[i].load(std::memory_order_relaxed);
				for (const char *p = buf, *end = buf + r; (p = (const char *)memchr(p, '\n', (size_t)(end - p))) != nullptr; p++)
					count++;
			} else {
				(*bytes)[i] += (uint64_t)r;
				count = (long)((*bytes)[i] / unit.packet_size);
			}
			shared->counts[i].store(count, std::memory_order_relaxed);
			if (count >= target) {
				epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
				done++;
				if (count > target || (unit.packet_size != 0 && (*bytes)[i] % unit.packet_size != 0)) {
					shared->failed = 3;	// more arrived than was sent
					_exit(1);
				}
			}
		}
	}
	if (done < n) {
		shared->failed = 4;
		_exit(1);
	}
	shared->end_ns = tt::now_ns();
	_exit(0);
}

struct Reader {
	pid_t pid = -1;
	Shared *shared = nullptr;
	size_t n = 0;
};

// Forks the reader of n connections: fds, or, when fds is empty, n connections that the
// reader makes itself to the listening socket at addr.
bool fork_reader(const std::vector<int> &fds, const struct sockaddr_un *addr, socklen_t addr_len, size_t n,
		 Unit unit, long target, Reader *out)
{
	out->n = n;
	out->shared = map_shared(n);
	std::vector<uint64_t> bytes(n, 0);
	fflush(stdout);
	fflush(stderr);
	pid_t pid = fork();
	if (pid < 0) {
		perror("fork");
		return false;
	}
	if (pid == 0) {
		if (!fds.empty())
			reader_main(fds, unit, target, out->shared, &bytes);
		std::vector<int> own;
		for (size_t i = 0; i < n; i++) {
			int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
			if (fd < 0 || connect(fd, reinterpret_cast<const struct sockaddr *>(addr), addr_len) < 0) {
				out->shared->failed = 1;
				_exit(1);
			}
			own.push_back(fd);
		}
		reader_main(own, unit, target, out->shared, &bytes);
	}
	out->pid = pid;
	return true;
}

// Waits until the reader watches all its connections.
bool reader_ready(const Reader &r)
{
	while (!r.shared->ready && !r.shared->failed)
		usleep(1000);
	return !r.shared->failed;
}

// Forks the reader of fds and waits until it watches them all.
bool start_reader(const std::vector<int> &fds, Unit unit, long target, Reader *out)
{
	return fork_reader(fds, nullptr, 0, fds.size(), unit, target, out) && reader_ready(*out);
}

long slowest(const Reader &r)
{
	long low = -1;
	for (size_t i = 0; i < r.n; i++) {
		long c = r.shared->counts[i].load(std::memory_order_relaxed);
		if (low < 0 || c < low)
			low = c;
	}
	return low;
}

const char *reader_failure(int code)
{
	switch (code) {
	case 1: return "the reader could not watch the connections";
	case 2: return "a connection ended";
	case 3: return "a connection received more than was sent";
	case 4: return "deliveries stopped for 30 seconds";
	default: return "the reader failed";
	}
}

struct RunResult {
	bool ok = false;
	double per_second = 0;
	double seconds = 0;
};

// Waits for the reader and turns its end time into the figures.
RunResult finish_reader(Reader *r, int64_t start_ns, double deliveries)
{
	RunResult res;
	int status = 0;
	waitpid(r->pid, &status, 0);
	int failed = r->shared->failed;
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && failed == 0) {
		res.ok = true;
		res.seconds = (double)(r->shared->end_ns - start_ns) / 1e9;
		res.per_second = deliveries / res.seconds;
	} else {
		fprintf(stderr, "fanout: %s\n", reader_failure(failed));
	}
	unmap_shared(r->shared, r->n);
	return res;
}

// One sender writes count copies of message (batch at a time), never more than window
// messages ahead of the slowest reader.
RunResult run_with_sender(const std::vector<int> &readers, Unit unit, int sender_fd, const std::string &message,
			  const Options &o)
{
	Reader r;
	if (!start_reader(readers, unit, o.messages, &r))
		return RunResult();
	std::string batch;
	for (long i = 0; i < o.batch; i++)
		batch += message;
	int64_t start = tt::now_ns();
	long sent = 0;
	bool ok = true;
	while (sent < o.messages && ok) {
		long k = std::min(o.batch, o.messages - sent);
		if (!tt::write_all(sender_fd, batch.data(), message.size() * (size_t)k)) {
			perror("fanout: sender write");
			break;
		}
		sent += k;
		while (sent - slowest(r) > o.window) {
			if (r.shared->failed || waitpid(r.pid, nullptr, WNOHANG) != 0) {
				ok = false;
				break;
			}
			struct timespec pause = {0, 20000};
			nanosleep(&pause, nullptr);
		}
	}
	if (sent < o.messages)
		kill(r.pid, SIGKILL);
	return finish_reader(&r, start, (double)readers.size() * (double)o.messages);
}

// ---- the floor ----

// The writer's ends are accepted here and the reader connects its own, so that each process
// holds n descriptors, as the server's clients and the server do.
RunResult run_floor(long n, const Options &o)
{
	UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	// An abstract address: nothing to remove afterwards.
	int name = snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "tolvar-bench-floor-%d", (int)getpid());
	auto addr_len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)name);
	if (!listener.valid() || bind(listener.get(), reinterpret_cast<struct sockaddr *>(&addr), addr_len) < 0 ||
	    listen(listener.get(), 1024) < 0) {
		perror("fanout: floor socket");
		exit(1);
	}
	std::string packet = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "user0000", "GLOBAL", MESSAGE_KIND_PLAIN,
						std::string(TEXT_SIZE, 'a'));
	Reader r;
	RunResult res;
	if (!fork_reader({}, &addr, addr_len, (size_t)n, Unit{packet.size()}, o.messages, &r))
		return res;
	std::vector<int> writers;
	while ((long)writers.size() < n) {
		int fd = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0) {
			perror("fanout: floor accept");
			kill(r.pid, SIGKILL);
			break;
		}
		writers.push_back(fd);
	}
	if ((long)writers.size() == n && reader_ready(r)) {
		int64_t start = tt::now_ns();
		for (long m = 0; m < o.messages; m++)
			for (int fd : writers)
				if (!tt::write_all(fd, packet))
					m = o.messages;
		res = finish_reader(&r, start, (double)n * (double)o.messages);
	} else {
		kill(r.pid, SIGKILL);
		res = finish_reader(&r, 0, 0);
	}
	bench::close_all(&writers);
	return res;
}

// ---- the server ----

// Repetitions of the fan-out among logged-in clients; client 0 posts.
std::vector<RunResult> run_posts(const std::vector<int> &fds, const Options &o)
{
	std::vector<RunResult> results;
	std::string post = tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN,
					      std::string(TEXT_SIZE, 'a'));
	// What every client receives: the same record with 8 bytes more in the length.
	Unit unit{post.size()};
	for (long rep = 0; rep < o.repetitions; rep++)
		results.push_back(run_with_sender(fds, unit, fds[0], post, o));
	return results;
}

// Repetitions against one server with n logged-in clients; client 0 posts.
std::vector<RunResult> run_server(const tt::Account &account, const std::string &exe, long n, const Options &o,
				  const std::vector<std::string> &env = {})
{
	std::vector<RunResult> results;
	tt::Server server;
	unlink((account.home + "/history").c_str());	// each case starts with none kept
	if (!tt::start_server(account, &server, exe, env)) {
		fprintf(stderr, "fanout: %s did not start\n", exe.c_str());
		return results;
	}
	std::vector<int> fds;
	if (bench::login_clients(server.socket_path, (int)n, "user", &fds))
		results = run_posts(fds, o);
	bench::close_all(&fds);
	tt::stop_server(&server);
	return results;
}

// Reads and drops what the connections have until none has had anything for quiet_ms.
void drain_until_quiet(const std::vector<int> &fds, int quiet_ms)
{
	static char buf[1 << 16];
	int64_t last = tt::now_ns();
	while (tt::now_ns() - last < (int64_t)quiet_ms * 1000000) {
		bool got = false;
		for (int fd : fds)
			while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0)
				got = true;
		if (got)
			last = tt::now_ns();
		else
			usleep(10000);
	}
}

// What the bus carried in a fan-out over several servers: messages sent and received by all
// the servers together, per post.
struct BusLoad {
	bool ok = false;
	double sent = 0;
	double received = 0;
};

// Repetitions with the n clients spread over o.servers servers joined over NATS, the first
// ones (the remainder) on the first server, whose client 0 posts.
std::vector<RunResult> run_bus(const std::string &exe, long n, const Options &o, BusLoad *load)
{
	std::vector<RunResult> results;
	bench::BusChat chat;
	if (!bench::start_bus_chat(exe, (int)o.servers, {}, &chat))
		return results;
	std::vector<int> fds;
	bool ok = true;
	for (long i = 0; ok && i < o.servers; i++) {
		long count = n / o.servers + (i == 0 ? n % o.servers : 0);
		std::vector<int> some;
		// Client 0 is user0000, as on one server: the deliveries have the same size.
		ok = bench::login_clients(chat.servers[(size_t)i].socket_path, (int)count,
					  i == 0 ? "user" : bench::format("srv%ld", i + 1), &some);
		fds.insert(fds.end(), some.begin(), some.end());
	}
	// Every server has announced every user who logs in elsewhere once it counts them all:
	// those announcements are read before the posts.
	ok = ok && bench::wait_bus_sessions(chat, (uint64_t)n, 30000);
	uint64_t sent0 = 0, received0 = 0, sent1 = 0, received1 = 0;
	if (ok) {
		drain_until_quiet(fds, 500);
		ok = bench::bus_totals(chat, &sent0, &received0);
	}
	if (ok) {
		results = run_posts(fds, o);
		double posts = (double)o.messages * (double)o.repetitions;
		load->ok = bench::bus_totals(chat, &sent1, &received1);
		load->sent = (double)(sent1 - sent0) / posts;
		load->received = (double)(received1 - received0) / posts;
	}
	bench::close_all(&fds);
	bench::stop_bus_chat(&chat);
	return results;
}

// ---- the IRC peer ----

struct IrcPeer {
	std::string dir;
	int port = -1;
	tt::Process proc;
};

// Writes a configuration for 127.0.0.1 only, with no lookups, no penalties, an operator
// whose user mode can relax flood protection, and starts the server in the foreground as
// the account.
bool start_irc(const tt::Account &account, const std::string &exe, IrcPeer *peer)
{
	peer->dir = tt::make_scratch_dir("tolvar-bench-irc");
	if (peer->dir.empty())
		return false;
	peer->port = tt::free_port();
	std::string conf = peer->dir + "/ngircd.conf";
	{
		std::ofstream c(conf);
		c << "[Global]\n"
		  << "\tName = bench.tolvar.invalid\n\tInfo = fan-out benchmark\n"
		  << "\tListen = 127.0.0.1\n\tPorts = " << peer->port << "\n"
		  << "\tMotdPhrase = \"bench\"\n\tPidFile = " << peer->dir << "/ngircd.pid\n"
		  << "[Limits]\n"
		  << "\tMaxConnections = 0\n\tMaxConnectionsIP = 0\n\tMaxJoins = 0\n\tMaxNickLength = 16\n"
		  << "\tMaxPenaltyTime = 0\n\tPingTimeout = 3600\n\tPongTimeout = 3600\n"
		  << "[Options]\n"
		  << "\tDNS = no\n\tIdent = no\n\tPAM = no\n"
		  << "[Operator]\n"
		  << "\tName = bench\n\tPassword = bench\n";
	}
	if (chown(peer->dir.c_str(), account.uid, account.gid) < 0 || chmod(conf.c_str(), 0644) < 0)
		return false;
	tt::Spec s;
	s.argv = {"/bin/sh", "-c", "exec \"$0\" -n -f \"$1\" >\"$2\" 2>&1", exe, conf, peer->dir + "/ngircd.log"};
	s.env = {"PATH=/usr/sbin:/usr/bin:/bin", "HOME=" + peer->dir};
	s.uid = account.uid;
	s.gid = account.gid;
	s.cwd = peer->dir;
	s.stdin_null = true;
	if (!tt::spawn(s, &peer->proc))
		return false;
	for (int i = 0; i < 500; i++) {
		int fd = tt::connect_tcp(peer->port);
		if (fd >= 0) {
			close(fd);
			return true;
		}
		if (peer->proc.wait(0))
			break;
		usleep(10000);
	}
	fprintf(stderr, "fanout: %s did not start\n", exe.c_str());
	return false;
}

// What the IRC server said, for a run that failed.
void show_irc_log(const IrcPeer &peer)
{
	std::ifstream f(peer.dir + "/ngircd.log");
	std::string line;
	while (std::getline(f, line))
		fprintf(stderr, "  ngircd: %s\n", line.c_str());
}

void stop_irc(IrcPeer *peer)
{
	peer->proc.kill_now(SIGTERM);
	if (!peer->proc.wait(5000)) {
		peer->proc.kill_now(SIGKILL);
		peer->proc.wait(5000);
	}
	tt::remove_tree(peer->dir);
}

// IRC connections waiting for a text each; the others' input is read and dropped.
struct IrcConn {
	int fd = -1;
	std::string want;	// empty: nothing awaited
	std::string tail;	// the end of what came before, for a text split between reads
	bool seen = false;
};

// Reads every connection until each that waits for a text has seen it.
bool irc_wait(std::vector<IrcConn> *conns, int ep, int timeout_ms)
{
	int64_t deadline = tt::now_ns() + (int64_t)timeout_ms * 1000000;
	static char buf[1 << 16];
	for (;;) {
		bool all = true;
		for (const IrcConn &c : *conns)
			all = all && (c.want.empty() || c.seen);
		if (all)
			return true;
		int64_t left = (deadline - tt::now_ns()) / 1000000;
		if (left <= 0)
			return false;
		struct epoll_event events[256];
		int k = epoll_wait(ep, events, 256, (int)std::min<int64_t>(left, 1000));
		for (int e = 0; e < k; e++) {
			IrcConn &c = (*conns)[events[e].data.u32];
			ssize_t r = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
			if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
				fprintf(stderr, "fanout: an IRC connection ended while joining\n");
				return false;
			}
			if (r <= 0 || c.want.empty() || c.seen)
				continue;
			std::string text = c.tail + std::string(buf, (size_t)r);
			if (text.find(c.want) != std::string::npos)
				c.seen = true;
			c.tail = text.substr(text.size() > 256 ? text.size() - 256 : 0);
		}
	}
}

void irc_expect(IrcConn *c, const std::string &want)
{
	c->want = want;
	c->seen = false;
	c->tail.clear();
}

// n receivers joined to one channel, and a sender (an operator with relaxed flood
// protection) joined last, whose join every receiver has seen.
bool irc_join_all(int port, long n, std::vector<IrcConn> *conns, int ep)
{
	for (long i = 0; i <= n; i++) {
		IrcConn c;
		c.fd = tt::connect_tcp(port);
		if (c.fd < 0) {
			fprintf(stderr, "fanout: IRC connection %ld failed: %s\n", i, strerror(errno));
			return false;
		}
		struct epoll_event ev = {};
		ev.events = EPOLLIN;
		ev.data.u32 = (uint32_t)conns->size();
		epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
		conns->push_back(c);
		IrcConn &me = conns->back();
		bool sender = i == n;
		std::string nick = sender ? IRC_SENDER : bench::format("r%04ld", i);
		std::string hello = "NICK " + nick + "\r\nUSER " + nick + " 0 * :bench\r\n";
		if (sender) {
			irc_expect(&me, " 001 ");
			if (!tt::write_all(me.fd, hello) || !irc_wait(conns, ep, 10000))
				return false;
			irc_expect(&me, " 381 ");
			if (!tt::write_all(me.fd, "OPER bench bench\r\n") || !irc_wait(conns, ep, 10000))
				return false;
			irc_expect(&me, " MODE " + nick + " :+F");
			if (!tt::write_all(me.fd, "MODE " + nick + " +F\r\n") || !irc_wait(conns, ep, 10000)) {
				fprintf(stderr, "fanout: the IRC sender could not relax its flood protection\n");
				return false;
			}
			for (long j = 0; j < n; j++)
				irc_expect(&(*conns)[(size_t)j], ":" + nick + "!");
		}
		irc_expect(&conns->back(), " 366 ");
		if (!tt::write_all(conns->back().fd, (sender ? "" : hello) + "JOIN " + IRC_CHANNEL + "\r\n") ||
		    !irc_wait(conns, ep, 20000)) {
			fprintf(stderr, "fanout: IRC client %ld did not join\n", i);
			return false;
		}
		irc_expect(&conns->back(), "");
	}
	for (IrcConn &c : *conns)
		irc_expect(&c, "");
	return true;
}

std::vector<RunResult> run_irc(const tt::Account &account, long n, const Options &o)
{
	std::vector<RunResult> results;
	IrcPeer peer;
	if (!start_irc(account, o.irc, &peer)) {
		show_irc_log(peer);
		stop_irc(&peer);
		return results;
	}
	std::vector<IrcConn> conns;
	UniqueFd ep(epoll_create1(EPOLL_CLOEXEC));
	if (irc_join_all(peer.port, n, &conns, ep.get())) {
		std::vector<int> readers;
		for (long i = 0; i < n; i++)
			readers.push_back(conns[(size_t)i].fd);
		std::string line = std::string("PRIVMSG ") + IRC_CHANNEL + " :" + std::string(TEXT_SIZE, 'a') + "\r\n";
		for (long rep = 0; rep < o.repetitions; rep++)
			results.push_back(run_with_sender(readers, Unit{0}, conns.back().fd, line, o));
	} else {
		show_irc_log(peer);
	}
	for (IrcConn &c : conns)
		close(c.fd);
	stop_irc(&peer);
	return results;
}

// ---- the table ----

struct Column {
	bool ok = false;
	double per_second = 0;
	double seconds = 0;
};

Column summarize(const std::vector<RunResult> &runs)
{
	Column c;
	std::vector<double> rate, time;
	for (const RunResult &r : runs) {
		if (!r.ok)
			return c;
		rate.push_back(r.per_second);
		time.push_back(r.seconds);
	}
	if (rate.empty())
		return c;
	c.ok = true;
	c.per_second = bench::median(rate);
	c.seconds = bench::median(time);
	return c;
}

std::string cell(const Column &c)
{
	if (!c.ok)
		return "failed";
	return bench::format("%s/s (%.0f ms)", bench::si(c.per_second).c_str(), c.seconds * 1000);
}

std::string posts_per_second(const Column &c, const Options &o)
{
	return c.ok ? bench::si((double)o.messages / c.seconds) : "-";
}

std::string ratio(const Column &a, const Column &b)
{
	if (!a.ok || !b.ok)
		return "-";
	return bench::format("%.2f", a.per_second / b.per_second);
}

}  // namespace

int main(int argc, char **argv)
{
	Options o;
	std::string server_opt, direct_opt, irc_opt;
	bool no_irc = false, no_direct = false;
	bench::parse_options(argc, argv,
			     {bench::counts_option('n', &o.clients, MAX_CLIENTS), bench::count_option('m', &o.messages),
			      bench::count_option('r', &o.repetitions), bench::count_option('w', &o.window),
			      bench::count_option('b', &o.batch), bench::text_option("server", &server_opt),
			      bench::text_option("direct", &direct_opt), bench::text_option("irc", &irc_opt),
			      bench::flag_option(0, "no-irc", &no_irc), bench::flag_option(0, "no-direct", &no_direct),
			      bench::flag_option(0, "history", &o.history), bench::flag_option(0, "flood", &o.flood),
			      bench::count_option(0, &o.servers, 3, "servers")},
			     usage);
	o.with_direct = !no_direct;
	o.joined = bench::server_binary(server_opt, "TOLVAR_BENCH_SERVER", "tolvard");
	o.direct = bench::server_binary(direct_opt, "TOLVAR_BENCH_DIRECT_SERVER", "tolvard-direct-sends");
	if (!irc_opt.empty())
		o.irc = irc_opt;
	o.with_irc = !no_irc;
	if (o.with_irc && access(o.irc.c_str(), X_OK) != 0) {
		fprintf(stderr, "%s: %s is missing (scripts/install-bench-deps.sh installs it); no IRC column\n",
			argv[0], o.irc.c_str());
		o.with_irc = false;
	}
	// This process and each server hold one descriptor per client (ngircd one more).
	long most = *std::max_element(o.clients.begin(), o.clients.end());
	bench::begin(argv[0], most + 256);
	tt::Account account = bench::make_account("tvfan");

	bench::Table history;
	history.header = {"N", "M", "tolvard, history kept (default)", "tolvard, history off", "kept / off"};
	bench::Table flood;
	flood.header = {"N", "M", "flood control off", "on, budgets above the load", "on, defaults", "above / off",
			"defaults / off"};
	// Budgets that the sender never spends: what the bookkeeping alone costs.
	const std::vector<std::string> flood_loose = {"TOLVAR_FLOOD_POSTS_PER_SECOND=1000000", "TOLVAR_FLOOD_POST_BURST=1000000",
						      "TOLVAR_FLOOD_BYTES_PER_SECOND=1000000000",
						      "TOLVAR_FLOOD_BYTE_BURST=1000000000"};
	bench::Table several;
	several.header = {"N", "M", "one server", bench::format("%ld servers over NATS", o.servers), "over NATS / one",
			  "posts/s, one server", "posts/s, over NATS", "bus messages per post: sent, received"};
	bench::Table t;
	t.header = {"N", "M", "tolvard", "floor", "ngircd", "tolvard / floor", "tolvard / ngircd"};
	if (o.with_direct)
		t.header = {"N", "M", "tolvard", "tolvard-direct-sends", "floor", "ngircd", "tolvard / floor",
			    "tolvard / ngircd", "direct / floor", "direct / ngircd"};
	for (long n : o.clients) {
		std::vector<RunResult> floor_runs;
		for (long rep = 0; rep < o.repetitions; rep++)
			floor_runs.push_back(run_floor(n, o));
		Column floor = summarize(floor_runs);
		Column joined = summarize(run_server(account, o.joined, n, o));
		Column direct;
		if (o.with_direct)
			direct = summarize(run_server(account, o.direct, n, o));
		if (o.history) {
			// Kept and off take turns, each on a fresh server, so that the machine's drift
			// falls on both alike.
			std::vector<RunResult> kept_runs, off_runs;
			Options one = o;
			one.repetitions = 1;
			for (long rep = 0; rep < o.repetitions; rep++) {
				for (const RunResult &r : run_server(account, o.joined, n, one))
					kept_runs.push_back(r);
				for (const RunResult &r : run_server(account, o.joined, n, one, {"TOLVAR_HISTORY_MESSAGES=0"}))
					off_runs.push_back(r);
			}
			Column kept = summarize(kept_runs), off = summarize(off_runs);
			history.rows.push_back({std::to_string(n), std::to_string(o.messages), cell(kept), cell(off),
						ratio(kept, off)});
		}
		if (o.flood) {
			// The three take turns, each run on a fresh server.
			std::vector<RunResult> off_runs, loose_runs, default_runs;
			Options few = o;
			few.repetitions = 1;
			few.messages = std::min(o.messages, FLOOD_MESSAGES);
			for (long rep = 0; rep < o.repetitions; rep++) {
				for (const RunResult &r : run_server(account, o.joined, n, few, tt::FLOOD_OFF))
					off_runs.push_back(r);
				for (const RunResult &r : run_server(account, o.joined, n, few, flood_loose))
					loose_runs.push_back(r);
				for (const RunResult &r : run_server(account, o.joined, n, few, tt::FLOOD_DEFAULT))
					default_runs.push_back(r);
			}
			Column off = summarize(off_runs), loose = summarize(loose_runs), defaults = summarize(default_runs);
			flood.rows.push_back({std::to_string(n), std::to_string(few.messages), cell(off), cell(loose),
					      cell(defaults), ratio(loose, off), ratio(defaults, off)});
		}
		if (o.servers > 1) {
			BusLoad load;
			Column bus = summarize(run_bus(o.joined, n, o, &load));
			several.rows.push_back({std::to_string(n), std::to_string(o.messages), cell(joined), cell(bus),
						ratio(bus, joined), posts_per_second(joined, o), posts_per_second(bus, o),
						load.ok ? bench::format("%.2f, %.2f", load.sent, load.received) : "-"});
		}
		Column irc;
		if (o.with_irc)
			irc = summarize(run_irc(account, n, o));
		std::string irc_cell = o.with_irc ? cell(irc) : "-";
		if (o.with_direct)
			t.rows.push_back({std::to_string(n), std::to_string(o.messages), cell(joined), cell(direct),
					  cell(floor), irc_cell, ratio(joined, floor), ratio(joined, irc), ratio(direct, floor),
					  ratio(direct, irc)});
		else
			t.rows.push_back({std::to_string(n), std::to_string(o.messages), cell(joined), cell(floor), irc_cell,
					  ratio(joined, floor), ratio(joined, irc)});
		fprintf(stderr, "fanout: N = %ld done\n", n);
	}
	tt::remove_account(account);

	printf("Fan-out: one client posts M plain messages of %zu bytes to GLOBAL; one reader process drains all "
	       "N connections. Deliveries per second (N x M over the time from the first post to the last "
	       "delivery, in brackets), median of %ld runs; sender at most %ld messages ahead of the slowest "
	       "reader, %ld per write.\n\n",
	       TEXT_SIZE, o.repetitions, o.window, o.batch);
	t.print();
	if (o.history) {
		printf("\nHistory: the same fan-out with the server keeping the last messages to everybody (and "
		       "appending them to its file) and with keeping off, in the same run: the two take turns, "
		       "each run on a fresh server, median of %ld runs each.\n\n",
		       o.repetitions);
		history.print();
	}
	if (o.flood) {
		printf("\nFlood control: the same fan-out with flood control off, on with budgets the sender never "
		       "spends (what the bookkeeping costs), and at its defaults (a burst of 60 posts, then 10 a "
		       "second: what it costs a sender that posts faster), in the same run: the three take turns, "
		       "each run on a fresh server, median of %ld runs each.\n\n",
		       o.repetitions);
		flood.print();
	}
	if (o.servers > 1) {
		printf("\nSeveral servers: the same fan-out with the N clients spread evenly over %ld servers of one "
		       "chat, each its own account, joined through a three-node NATS cluster on loopback (the stream "
		       "kept on all three nodes); the sender on the first server. One server: the tolvard column "
		       "above. Posts per second: M over the time from the first post to the last delivery. Bus "
		       "messages: what all the servers together handed to the bus and took from it during the "
		       "runs, per post (presence heartbeats included). Median of %ld runs.\n\n",
		       o.servers, o.repetitions);
		several.print();
	}
	if (o.with_direct)
		printf("\nServers: tolvard = %s; tolvard-direct-sends = %s%s. Machine: %s.\n", o.joined.c_str(),
		       o.direct.c_str(), o.joined == o.direct ? " (the same binary: no direct-sends build was found)" : "",
		       bench::machine_line().c_str());
	else
		printf("\nServer: tolvard = %s. Machine: %s.\n", o.joined.c_str(), bench::machine_line().c_str());
	return 0;
}
