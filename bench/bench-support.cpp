#include "bench/bench-support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "api/tolvar-api-client.h"
#include "common/holders.h"
#include "protocol/local-protocol.h"

namespace bench {

// ---- command line ----

bool parse_count(const char *text, long *out)
{
	if (text == nullptr || *text == '\0')
		return false;
	char *end = nullptr;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno != 0 || *end != '\0' || v <= 0)
		return false;
	*out = v;
	return true;
}

bool parse_count_list(const char *text, std::vector<long> *out)
{
	out->clear();
	std::string s = text == nullptr ? "" : text;
	size_t at = 0;
	while (at <= s.size()) {
		size_t comma = s.find(',', at);
		std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
		long v;
		if (!parse_count(item.c_str(), &v))
			return false;
		out->push_back(v);
		if (comma == std::string::npos)
			break;
		at = comma + 1;
	}
	return !out->empty();
}

// ---- set-up ----

void require_root(const char *program)
{
	if (geteuid() != 0) {
		fprintf(stderr, "%s: run as root (it creates throw-away accounts for the server)\n", program);
		exit(1);
	}
}

bool raise_descriptor_limit(long want)
{
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) < 0)
		return false;
	if ((long)rl.rlim_cur >= want)
		return true;
	if ((long)rl.rlim_max < want) {
		struct rlimit raised = {(rlim_t)want, (rlim_t)want};
		if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
			return true;
		rl.rlim_cur = rl.rlim_max;
	} else {
		rl.rlim_cur = (rlim_t)want;
	}
	setrlimit(RLIMIT_NOFILE, &rl);
	return getrlimit(RLIMIT_NOFILE, &rl) == 0 && (long)rl.rlim_cur >= want;
}

tt::Account make_account(const std::string &prefix)
{
	// The server's records go to a private log, not the host's.
	tt::Syslog::instance();
	tt::Account a;
	if (!tt::create_account(tt::unique_account_name(prefix), &a)) {
		fprintf(stderr, "cannot create an account for the server\n");
		exit(1);
	}
	return a;
}

namespace {

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

}  // namespace

bool machine_busy(std::string *what)
{
	what->clear();
	DIR *d = opendir("/proc");
	if (d == nullptr)
		return false;
	pid_t self = getpid();
	while (struct dirent *e = readdir(d)) {
		pid_t pid = (pid_t)atoi(e->d_name);
		if (pid <= 0 || pid == self)
			continue;
		std::string cmd = read_file(std::string("/proc/") + e->d_name + "/cmdline");
		std::replace(cmd.begin(), cmd.end(), '\0', ' ');
		for (const char *needle : {"fuzz-", "cc1plus", "ctest"}) {
			if (cmd.find(needle) != std::string::npos) {
				if (what->find(needle) == std::string::npos)
					*what += std::string(what->empty() ? "" : ", ") + needle;
			}
		}
	}
	closedir(d);
	return !what->empty();
}

// The cost of the cheapest system call, the best of a few rounds: what every write and
// wake-up on this machine is made of.
double syscall_ns()
{
	double best = -1;
	for (int round = 0; round < 5; round++) {
		int64_t start = now_ns();
		for (int i = 0; i < 20000; i++)
			syscall(SYS_getppid);
		double ns = (double)(now_ns() - start) / 20000.0;
		if (best < 0 || ns < best)
			best = ns;
	}
	return best;
}

std::string machine_line()
{
	std::string model = "unknown CPU";
	std::istringstream cpuinfo(read_file("/proc/cpuinfo"));
	for (std::string line; std::getline(cpuinfo, line);) {
		if (line.rfind("model name", 0) == 0) {
			size_t colon = line.find(':');
			if (colon != std::string::npos)
				model = line.substr(colon + 2);
			break;
		}
	}
	std::string load = read_file("/proc/loadavg");
	load = load.substr(0, load.find(' '));
	std::string busy;
	machine_busy(&busy);
	return format("%s, %ld cores, a system call takes %.0f ns, load %s%s", model.c_str(),
		      sysconf(_SC_NPROCESSORS_ONLN), syscall_ns(), load.c_str(),
		      busy.empty() ? ", nothing else heavy running" : (", also running: " + busy).c_str());
}

// ---- clocks and statistics ----

int64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

double percentile(std::vector<double> v, double q)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	size_t rank = (size_t)std::ceil(q * (double)v.size());
	return v[rank == 0 ? 0 : std::min(rank, v.size()) - 1];
}

// ---- the servers ----

std::string server_binary(const char *option_value, const char *env_name, const char *basename)
{
	if (option_value != nullptr && *option_value != '\0')
		return option_value;
	const char *env = getenv(env_name);
	if (env != nullptr && *env != '\0')
		return env;
	std::string built = TOLVARD_BUILT_PATH;
	std::string beside = built.substr(0, built.rfind('/') + 1) + basename;
	if (access(beside.c_str(), X_OK) == 0)
		return beside;
	return built;
}

bool start_server_binary(const tt::Account &a, const std::string &exe, tt::Server *out, const std::vector<std::string> &env)
{
	out->account = a;
	out->socket_path = a.home + "/socket";
	unlink(out->socket_path.c_str());
	tt::Spec s;
	s.argv = {tt::program_path(exe)};
	s.env = {"HOME=" + a.home, "PATH=/usr/bin:/bin"};
	s.env.insert(s.env.end(), env.begin(), env.end());
	s.uid = a.uid;
	s.gid = a.gid;
	s.cwd = a.home;
	s.stdin_null = true;
	if (!tt::spawn(s, &out->proc))
		return false;
	for (int i = 0; i < 1000; i++) {
		struct stat st;
		if (stat(out->socket_path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600) {
			int fd = tt::connect_socket(out->socket_path);
			if (fd >= 0) {
				close(fd);
				return true;
			}
		}
		if (out->proc.wait(0))
			return false;
		usleep(10000);
	}
	return false;
}

void stop_server(tt::Server *s)
{
	s->proc.kill_now(9);
	s->proc.wait(10000);
}

// ---- raw local clients ----

namespace {

// Whole packets counted on one connection; a partial one is kept.
struct PacketCounter {
	std::string pending;
	long packets = 0;

	void add(const char *data, size_t n)
	{
		pending.append(data, n);
		size_t at = 0;
		while (pending.size() - at >= LOCAL_PACKET_LENGTH_SIZE) {
			uint64_t length;
			memcpy(&length, pending.data() + at, sizeof length);
			if (pending.size() - at - LOCAL_PACKET_LENGTH_SIZE < length)
				break;
			at += LOCAL_PACKET_LENGTH_SIZE + (size_t)length;
			packets++;
		}
		pending.erase(0, at);
	}
};

// Reads what the ready connections have; waits up to timeout_ms for the first of them.
// False when one of them ended.
bool drain_ready(int ep, const std::vector<int> &fds, std::vector<PacketCounter> *counters, int timeout_ms)
{
	struct epoll_event events[256];
	int n = epoll_wait(ep, events, 256, timeout_ms);
	if (n < 0)
		return errno == EINTR;
	static char buf[1 << 16];
	for (int i = 0; i < n; i++) {
		size_t index = events[i].data.u32;
		ssize_t r = recv(fds[index], buf, sizeof buf, MSG_DONTWAIT);
		if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
			fprintf(stderr, "client %zu lost its connection while logging in\n", index);
			return false;
		}
		if (r > 0)
			(*counters)[index].add(buf, (size_t)r);
	}
	return true;
}

}  // namespace

bool login_clients(const std::string &socket_path, int n, const std::string &prefix, std::vector<int> *fds)
{
	fds->clear();
	UniqueFd ep(epoll_create1(EPOLL_CLOEXEC));
	if (!ep.valid()) {
		perror("epoll_create1");
		return false;
	}
	std::vector<PacketCounter> counters((size_t)n);
	for (int i = 0; i < n; i++) {
		int fd = tt::connect_socket(socket_path);
		if (fd < 0) {
			fprintf(stderr, "client %d cannot connect: %s\n", i, strerror(errno));
			close_all(fds);
			return false;
		}
		fds->push_back(fd);
		struct epoll_event ev = {};
		ev.events = EPOLLIN;
		ev.data.u32 = (uint32_t)i;
		char name[32];
		snprintf(name, sizeof name, "%s%04d", prefix.c_str(), i);
		if (epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev) < 0 ||
		    !tt::write_all(fd, tt::login_packet(name, "192.0.2.7", "UTF-8"))) {
			fprintf(stderr, "client %d cannot log in: %s\n", i, strerror(errno));
			close_all(fds);
			return false;
		}
		// Every login announces the new user to all who are logged in: read them as they
		// come, so that no connection's buffer fills and holds the server up.
		if (!drain_ready(ep.get(), *fds, &counters, 0)) {
			close_all(fds);
			return false;
		}
	}
	// Client i sees the announcements of its own login and of every later one.
	int64_t deadline = now_ns() + 30 * 1000000000LL;
	for (int i = 0; i < n; i++) {
		while (counters[(size_t)i].packets < n - i) {
			if (now_ns() > deadline) {
				fprintf(stderr, "client %d saw %ld of %d announcements\n", i, counters[(size_t)i].packets, n - i);
				close_all(fds);
				return false;
			}
			if (!drain_ready(ep.get(), *fds, &counters, 100)) {
				close_all(fds);
				return false;
			}
		}
	}
	return true;
}

void close_all(std::vector<int> *fds)
{
	for (int fd : *fds)
		close(fd);
	fds->clear();
}

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
	int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000;
	do {
		int fd = connect_tcp(port);
		if (fd >= 0) {
			close(fd);
			return true;
		}
		usleep(10000);
	} while (now_ns() < deadline);
	return false;
}

// ---- API sessions ----

bool ApiStream::next(std::string *packet, int timeout_ms)
{
	int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000;
	for (;;) {
		size_t size = 0;
		int r = tolvarapi::frame(buffer.data(), buffer.size(), 8u << 20, &size);
		if (r == tolvarapi::OK) {
			packet->assign(buffer, 0, size);
			buffer.erase(0, size);
			return true;
		}
		if (r != tolvarapi::NEED_MORE)
			return false;
		int64_t left = (deadline - now_ns()) / 1000000;
		struct pollfd pfd = {fd, POLLIN, 0};
		if (left <= 0 || poll(&pfd, 1, (int)left) <= 0)
			return false;
		char buf[1 << 16];
		ssize_t n = read(fd, buf, sizeof buf);
		if (n <= 0)
			return false;
		buffer.append(buf, (size_t)n);
	}
}

bool ApiStream::next_message_from(const std::string &sender, int timeout_ms)
{
	std::string p;
	while (next(&p, timeout_ms)) {
		tolvarapi::Packet packet;
		tolvarapi::Message m;
		if (tolvarapi::open_packet(p.data(), p.size(), &packet) == tolvarapi::OK &&
		    tolvarapi::parse_message(packet, &m) == tolvarapi::OK && m.from == sender)
			return true;
	}
	return false;
}

bool api_handshake(tt::Process *p, ApiStream *in, int timeout_ms)
{
	size_t size = 0;
	MallocPtr<unsigned char> hello(tolvarapi::build_hello(TOLVAR_API_VERSION, &size));
	if (hello == nullptr || !tt::write_all(p->in, hello.get(), size))
		return false;
	in->fd = p->out;
	std::string packet;
	while (in->next(&packet, timeout_ms)) {
		if (packet.size() > 4 && (uint8_t)packet[4] == TOLVAR_API_PASS)
			return true;
	}
	return false;
}

// ---- memory ----

bool read_memory(pid_t pid, Memory *out)
{
	std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/smaps_rollup"));
	*out = Memory();
	bool any = false;
	for (std::string line; std::getline(in, line);) {
		std::string_view l(line);
		size_t colon = l.find(':');
		if (colon == std::string_view::npos)
			continue;
		std::string_view key = l.substr(0, colon);
		long kib = atol(line.c_str() + colon + 1);
		if (key == "Rss")
			out->rss_kib = kib, any = true;
		else if (key == "Pss")
			out->pss_kib = kib;
		else if (key == "Private_Clean" || key == "Private_Dirty")
			out->private_kib += kib;
	}
	return any;
}

std::string private_by_mapping(pid_t pid)
{
	std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/smaps"));
	std::vector<std::pair<std::string, long>> sums;
	std::string current = "[anonymous]";
	for (std::string line; std::getline(in, line);) {
		size_t colon = line.find(':');
		bool field = colon != std::string::npos && colon < 20 && line.find(' ') > colon;
		if (!field) {
			// A mapping's first line: range perms offset dev inode [path]
			std::istringstream words(line);
			std::string range, perms, offset, dev, inode, path;
			words >> range >> perms >> offset >> dev >> inode;
			std::getline(words, path);
			size_t start = path.find_first_not_of(' ');
			current = start == std::string::npos ? "[anonymous]" : path.substr(start);
			continue;
		}
		std::string key = line.substr(0, colon);
		if (key != "Private_Clean" && key != "Private_Dirty")
			continue;
		long kib = atol(line.c_str() + colon + 1);
		auto it = std::find_if(sums.begin(), sums.end(), [&](const auto &e) { return e.first == current; });
		if (it == sums.end())
			sums.push_back({current, kib});
		else
			it->second += kib;
	}
	std::sort(sums.begin(), sums.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
	std::string out;
	for (const auto &e : sums)
		if (e.second > 0)
			out += format("  %6ld KiB  %s\n", e.second, e.first.c_str());
	return out;
}

// ---- output ----

void Table::print() const
{
	auto row = [](const std::vector<std::string> &cells) {
		std::string line = "|";
		for (const std::string &c : cells)
			line += " " + c + " |";
		puts(line.c_str());
	};
	row(header);
	std::string rule = "|";
	for (size_t i = 0; i < header.size(); i++)
		rule += i == 0 ? " --- |" : " ---: |";
	puts(rule.c_str());
	for (const auto &r : rows)
		row(r);
	fflush(stdout);
}

std::string format(const char *fmt, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof buf, fmt, ap);
	va_end(ap);
	return buf;
}

std::string si(double value)
{
	if (value >= 1e6)
		return format("%.2f M", value / 1e6);
	if (value >= 1e3)
		return format("%.1f k", value / 1e3);
	return format("%.0f", value);
}

}  // namespace bench
