#include "bench/bench-support.h"

#include <dirent.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "api/tolvar-api-client.h"
#include "common/holders.h"
#include "protocol/admin-protocol.h"
#include "testing/proc-files.h"

namespace bench {

// ---- command line ----

namespace {

// getopt_long's value for the long form of options[i].
constexpr int LONG_OPTION_BASE = 256;

// Parses one positive number; false on anything else.
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

// Parses "10,100,1000" into positive numbers; false on anything else.
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

bool within(long value, long max) { return max <= 0 || value <= max; }

// Stores the option's argument (nullptr for a flag); false when it does not fit.
bool take(const Option &o, const char *arg)
{
	if (o.count != nullptr && o.zero_ok && arg != nullptr && strcmp(arg, "0") == 0) {
		*o.count = 0;
		return true;
	}
	if (o.count != nullptr)
		return parse_count(arg, o.count) && within(*o.count, o.max);
	if (o.counts != nullptr)
		return parse_count_list(arg, o.counts) &&
		       std::all_of(o.counts->begin(), o.counts->end(), [&](long v) { return within(v, o.max); });
	if (o.text != nullptr) {
		*o.text = arg;
		return true;
	}
	*o.flag = true;
	return true;
}

}  // namespace

Option count_option(char letter, long *value, long max, const char *name)
{
	Option o;
	o.letter = letter;
	o.name = name;
	o.count = value;
	o.max = max;
	return o;
}

Option count_or_zero_option(char letter, long *value, long max)
{
	Option o = count_option(letter, value, max);
	o.zero_ok = true;
	return o;
}

Option counts_option(char letter, std::vector<long> *values, long max)
{
	Option o;
	o.letter = letter;
	o.counts = values;
	o.max = max;
	return o;
}

Option text_option(const char *name, std::string *value)
{
	Option o;
	o.name = name;
	o.text = value;
	return o;
}

Option flag_option(char letter, const char *name, bool *value)
{
	Option o;
	o.letter = letter;
	o.name = name;
	o.flag = value;
	return o;
}

void parse_options(int argc, char **argv, const std::vector<Option> &options, void (*usage)(const char *program))
{
	std::string shorts = "h";
	std::vector<struct option> longs;
	for (size_t i = 0; i < options.size(); i++) {
		const Option &o = options[i];
		bool argument = o.flag == nullptr;
		if (o.letter != 0)
			shorts += std::string(1, o.letter) + (argument ? ":" : "");
		if (o.name != nullptr)
			longs.push_back({o.name, argument ? required_argument : no_argument, nullptr, LONG_OPTION_BASE + (int)i});
	}
	longs.push_back({"help", no_argument, nullptr, 'h'});
	longs.push_back({nullptr, 0, nullptr, 0});
	int opt;
	while ((opt = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1) {
		if (opt == 'h') {
			usage(argv[0]);
			exit(0);
		}
		auto it = std::find_if(options.begin(), options.end(), [&](const Option &o) {
			return (o.letter != 0 && o.letter == opt) || LONG_OPTION_BASE + (&o - options.data()) == opt;
		});
		if (it == options.end() || !take(*it, optarg)) {
			usage(argv[0]);
			exit(255);
		}
	}
	if (optind != argc) {
		usage(argv[0]);
		exit(255);
	}
}

// ---- set-up ----

void begin(const char *program, long descriptors)
{
	if (geteuid() != 0) {
		fprintf(stderr, "%s: run as root (it creates throw-away accounts for the server)\n", program);
		exit(1);
	}
	if (descriptors > 0 && !tt::raise_descriptor_limit(descriptors)) {
		fprintf(stderr, "%s: cannot raise the descriptor limit to %ld\n", program, descriptors);
		exit(1);
	}
	signal(SIGPIPE, SIG_IGN);
	tt::Syslog::instance();
}

tt::Account make_account(const std::string &prefix)
{
	tt::Account a;
	if (!tt::create_account(tt::unique_account_name(prefix), &a)) {
		fprintf(stderr, "cannot create an account for the server\n");
		exit(1);
	}
	return a;
}

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
		std::string cmd;
		tt::read_file(std::string("/proc/") + e->d_name + "/cmdline", &cmd);
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
		int64_t start = tt::now_ns();
		for (int i = 0; i < 20000; i++)
			syscall(SYS_getppid);
		double ns = (double)(tt::now_ns() - start) / 20000.0;
		if (best < 0 || ns < best)
			best = ns;
	}
	return best;
}

std::string machine_line()
{
	std::string model = "unknown CPU";
	std::string text;
	tt::read_file("/proc/cpuinfo", &text);
	std::istringstream cpuinfo(text);
	for (std::string line; std::getline(cpuinfo, line);) {
		if (line.rfind("model name", 0) == 0) {
			size_t colon = line.find(':');
			if (colon != std::string::npos)
				model = line.substr(colon + 2);
			break;
		}
	}
	std::string load;
	tt::read_file("/proc/loadavg", &load);
	load = load.substr(0, load.find(' '));
	std::string busy;
	machine_busy(&busy);
	return format("%s, %ld cores, a system call takes %.0f ns, load %s%s", model.c_str(),
		      sysconf(_SC_NPROCESSORS_ONLN), syscall_ns(), load.c_str(),
		      busy.empty() ? ", nothing else heavy running" : (", also running: " + busy).c_str());
}

// ---- statistics ----

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

std::string server_binary(const std::string &option_value, const char *env_name, const char *basename)
{
	if (!option_value.empty())
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

void start_server_or_exit(const char *program, const tt::Account &a, const std::string &exe, tt::Server *out,
			  const std::vector<std::string> &env)
{
	if (!tt::start_server(a, out, exe, env)) {
		fprintf(stderr, "%s: the server did not start\n", program);
		tt::remove_account(a);
		exit(1);
	}
}

bool server_counters(const std::string &socket_path, std::vector<uint64_t> *values)
{
	AdminRequest request = {LOCAL_PACKET_ADMIN_STATS, 0, {}, {}, 0};
	size_t size = 0;
	MallocPtr<unsigned char> ask(admin_build_request(request, &size));
	UniqueFd fd(tt::connect_socket(socket_path));
	if (ask == nullptr || !fd.valid() || !tt::write_all(fd.get(), ask.get(), size)) {
		fprintf(stderr, "cannot ask %s for its counters: %s\n", socket_path.c_str(), strerror(errno));
		return false;
	}
	std::string answer = tt::read_local_packet(fd.get(), 10000);
	LocalPacketView view;
	uint32_t count = 0;
	values->assign(COUNTER_COUNT, 0);
	if (answer.empty() || local_packet_open(reinterpret_cast<const unsigned char *>(answer.data()), &view) < 0 ||
	    admin_parse_counters(view, values->data(), COUNTER_COUNT, &count) < 0) {
		fprintf(stderr, "%s did not answer with its counters\n", socket_path.c_str());
		return false;
	}
	return true;
}

// ---- several servers over NATS ----

namespace {

constexpr int BUS_START_TIMEOUT_MS = 30000;

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
	int64_t deadline = tt::now_ns() + (int64_t)timeout_ms * 1000000;
	while (!done()) {
		if (tt::now_ns() > deadline)
			return false;
		usleep(20 * 1000);
	}
	return true;
}

std::string bus_server_name(size_t i) { return "s" + std::to_string(i + 1); }

// Whether server i has logged that it heard server j since it started.
bool heard(const BusChat &c, size_t i, size_t j)
{
	std::string text = "bus: server " + bus_server_name(j) + " joined";
	for (const tt::LogRecord &r : tt::Syslog::instance().records())
		if (r.pid == c.servers[i].proc.pid && r.text == text)
			return true;
	return false;
}

}  // namespace

bool start_bus_chat(const std::string &exe, int count, const std::vector<std::string> &env, BusChat *out)
{
	if (!tt::nats_available()) {
		fprintf(stderr, "nats-server is missing (scripts/install-deps.sh installs it)\n");
		return false;
	}
	if (!tt::start_nats_cluster(3, &out->nats)) {
		fprintf(stderr, "the NATS cluster did not start:\n%s\n", tt::nats_logs(out->nats).c_str());
		tt::stop_nats_cluster(&out->nats);
		return false;
	}
	tt::Syslog &log = tt::Syslog::instance();
	size_t ready = log.count("is ready");
	out->servers.resize((size_t)count);
	for (size_t i = 0; i < (size_t)count; i++) {
		tt::Account a;
		if (!tt::create_account(tt::unique_account_name("tvbus" + std::to_string(i + 1)), &a)) {
			fprintf(stderr, "cannot create an account for server %zu\n", i + 1);
			stop_bus_chat(out);
			return false;
		}
		out->accounts.push_back(a);
		std::vector<std::string> e = env;
		e.push_back("TOLVAR_NATS_URL=" + out->nats.urls());
		e.push_back("TOLVAR_SERVER_NAME=" + bus_server_name(i));
		if (!tt::start_server(a, &out->servers[i], exe, e)) {
			fprintf(stderr, "server %zu did not start\n", i + 1);
			stop_bus_chat(out);
			return false;
		}
	}
	bool joined = wait_until([&] { return log.count("is ready") >= ready + (size_t)count; }, BUS_START_TIMEOUT_MS);
	for (size_t i = 0; joined && i < (size_t)count; i++)
		for (size_t j = 0; joined && j < (size_t)count; j++)
			joined = i == j || wait_until([&] { return heard(*out, i, j); }, BUS_START_TIMEOUT_MS);
	if (!joined) {
		fprintf(stderr, "the servers did not join over NATS:\n%s\n%s\n", log.dump().c_str(),
			tt::nats_logs(out->nats).c_str());
		stop_bus_chat(out);
	}
	return joined;
}

void stop_bus_chat(BusChat *c)
{
	for (tt::Server &s : c->servers)
		tt::stop_server(&s);
	for (const tt::Account &a : c->accounts)
		tt::remove_account(a);
	tt::stop_nats_cluster(&c->nats);
	c->servers.clear();
	c->accounts.clear();
}

bool wait_bus_sessions(const BusChat &c, uint64_t sessions, int timeout_ms)
{
	std::vector<uint64_t> v;
	for (size_t i = 0; i < c.servers.size(); i++) {
		auto counted = [&] {
			return server_counters(c.servers[i].socket_path, &v) &&
			       v[COUNTER_SESSIONS] + v[COUNTER_SESSIONS_ELSEWHERE] == sessions;
		};
		if (!wait_until(counted, timeout_ms)) {
			fprintf(stderr, "server %zu counts %llu sessions, not %llu\n", i + 1,
				(unsigned long long)(v[COUNTER_SESSIONS] + v[COUNTER_SESSIONS_ELSEWHERE]),
				(unsigned long long)sessions);
			return false;
		}
	}
	return true;
}

bool bus_totals(const BusChat &c, uint64_t *sent, uint64_t *received)
{
	*sent = 0;
	*received = 0;
	std::vector<uint64_t> v;
	for (const tt::Server &s : c.servers) {
		if (!server_counters(s.socket_path, &v))
			return false;
		*sent += v[COUNTER_BUS_SENT];
		*received += v[COUNTER_BUS_RECEIVED];
	}
	return true;
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
		std::vector<std::string> whole;
		tt::split_local_packets(&pending, &whole);
		packets += (long)whole.size();
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
	int64_t deadline = tt::now_ns() + 30 * 1000000000LL;
	for (int i = 0; i < n; i++) {
		while (counters[(size_t)i].packets < n - i) {
			if (tt::now_ns() > deadline) {
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

// ---- API sessions ----

bool ApiStream::next(std::string *packet, int timeout_ms)
{
	int64_t deadline = tt::now_ns() + (int64_t)timeout_ms * 1000000;
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
		int64_t left = (deadline - tt::now_ns()) / 1000000;
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
