// Memory of the processes that a host runs many of: one session process in each mode, and
// the server without clients, with many logged-in clients, and after they have gone (its
// connection table grows with the clients and shrinks after them). Figures come from
// /proc/PID/smaps_rollup: resident, proportional (Pss) and private (clean + dirty) memory.
// A session is tolvard -c run as the account with the environment an SSH daemon gives; the
// cli session runs on a pseudo-terminal. Run as root.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench-support.h"
#include "testing/proc-files.h"
#include "protocol/local-protocol.h"

namespace {

constexpr int SETTLE_MS = 300;
bool verbose = false;

struct Options {
	std::vector<long> clients = {1000};
	long repetitions = 1;
	std::string server;
};

void usage(const char *program)
{
	fprintf(stderr,
		"usage: %s [-c C[,C...]] [-r R] [-v] [--server PATH]\n"
		"  -c  logged-in clients for the loaded server, one measurement each (default 1000;\n"
		"      at most 65000)\n"
		"  -r  sessions started per mode; the table shows the largest figures (default 1)\n"
		"  -v  print each process's private memory per mapping on standard error\n"
		"  --server  tolvard to measure (default $TOLVAR_BENCH_SERVER, else the built tolvard)\n"
		"Run as root.\n",
		program);
}

std::string mib(long kib) { return bench::format("%.2f MiB", (double)kib / 1024.0); }

// The largest figures of a process seen so far.
struct Largest {
	long rss_kib = 0;
	long pss_kib = 0;
	long private_kib = 0;	// Private_Clean + Private_Dirty
};

std::vector<std::string> row(const std::string &what, const Largest &m, const char *target)
{
	return {what, mib(m.rss_kib), mib(m.pss_kib), mib(m.private_kib), target};
}

void keep_largest(Largest *acc, const tt::MemoryFigures &m)
{
	acc->rss_kib = std::max(acc->rss_kib, m.rss_kib);
	acc->pss_kib = std::max(acc->pss_kib, m.pss_kib);
	acc->private_kib = std::max(acc->private_kib, m.private_clean_kib + m.private_dirty_kib);
}

// Private memory per mapping, one "  KiB  name" line each, largest first.
std::string private_by_mapping(pid_t pid)
{
	std::string out;
	for (const auto &e : tt::private_by_mapping(pid))
		if (e.second > 0)
			out += bench::format("  %6ld KiB  %s\n", e.second, e.first.c_str());
	return out;
}

// Starts a session of user in mode and waits until it is logged in and idle.
bool start_session(const tt::Account &a, const std::string &exe, const std::string &mode, const std::string &user,
		   tt::Process *p)
{
	std::vector<std::string> env = tt::ssh_env(a, mode);
	env.push_back("TERM=xterm");
	tt::Spec s = tt::session_spec(a, user, env, exe);
	s.pty = mode == "cli";
	if (!tt::spawn(s, p))
		return false;
	bool ok = true;
	if (mode == "api") {
		bench::ApiStream in;
		ok = bench::api_handshake(p, &in, 10000);
	}
	ok = ok && tt::Syslog::instance().wait_for("user " + user + " login", -1, 10000);
	// Let the frontend finish drawing (cli) and read what the server sent.
	std::string screen;
	tt::read_for(p->out, SETTLE_MS, &screen);
	if (!ok || p->wait(0)) {
		fprintf(stderr, "memory: the %s session of %s did not come up\n", mode.c_str(), user.c_str());
		return false;
	}
	return true;
}

bool measure(const tt::Process &p, const std::string &what, Largest *largest)
{
	tt::MemoryFigures m;
	if (!tt::read_memory(p.pid, &m))
		return false;
	keep_largest(largest, m);
	if (verbose)
		fprintf(stderr, "%s: private memory by mapping\n%s", what.c_str(), private_by_mapping(p.pid).c_str());
	return true;
}

// One session of mode alone (the server is then the only other process of the program,
// so code that only sessions run counts as private), then a second one beside it, whose
// private memory is what each further session costs.
bool measure_mode(const tt::Account &a, const std::string &exe, const std::string &mode, long rep,
		  Largest *alone, Largest *beside)
{
	tt::Process first, second;
	bool ok = start_session(a, exe, mode, bench::format("%s%ldfirst", mode.c_str(), rep), &first) &&
		  measure(first, "session " + mode + " alone", alone) &&
		  start_session(a, exe, mode, bench::format("%s%ldsecond", mode.c_str(), rep), &second) &&
		  measure(second, "session " + mode + " beside another", beside);
	first.kill_now(SIGKILL);
	second.kill_now(SIGKILL);
	first.wait(5000);
	second.wait(5000);
	return ok;
}

// Asks for the online list on fd until it holds fd's session alone: the server has seen every
// other client go. Announcements before an answer are skipped.
bool alone_online(int fd)
{
	for (int tries = 0; tries < 1000; tries++) {
		if (!tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)))
			return false;
		std::string p;
		do
			p = tt::read_local_packet(fd, 10000);
		while (!p.empty() && tt::packet_type(p) != LOCAL_PACKET_ONLINE_USERS);
		LocalPacketView view;
		OnlineUsersView list;
		if (p.empty() || local_packet_open(reinterpret_cast<const unsigned char *>(p.data()), &view) < 0 ||
		    local_parse_online_users(view, &list) < 0)
			return false;
		if (list.count == 1)
			return true;
		usleep(10000);
	}
	return false;
}

}  // namespace

int main(int argc, char **argv)
{
	Options o;
	std::string server_opt;
	bench::parse_options(argc, argv,
			     {bench::counts_option('c', &o.clients, 65000), bench::count_option('r', &o.repetitions),
			      bench::flag_option('v', nullptr, &verbose), bench::text_option("server", &server_opt)},
			     usage);
	o.server = bench::server_binary(server_opt, "TOLVAR_BENCH_SERVER", "tolvard");
	bench::begin(argv[0], *std::max_element(o.clients.begin(), o.clients.end()) + 256);
	tt::Account account = bench::make_account("tvmem");
	tt::Server server;
	bench::start_server_or_exit(argv[0], account, o.server, &server);
	bool ok = true;
	Largest idle_server, after_server;
	std::vector<Largest> loaded_server(o.clients.size());
	usleep(SETTLE_MS * 1000);
	ok = measure(server.proc, "server, 0 clients", &idle_server);
	const char *mode_names[3] = {"api", "log", "cli"};
	Largest alone[3], beside[3];
	for (int m = 0; m < 3 && ok; m++)
		for (long r = 0; r < o.repetitions && ok; r++)
			ok = measure_mode(account, o.server, mode_names[m], r, &alone[m], &beside[m]);
	// Each count logs in anew after the clients of the one before have gone; then the server
	// is measured once more after the last clients, with a client that sees their ends.
	std::vector<int> clients;
	for (size_t i = 0; i < o.clients.size() && ok; i++) {
		std::string prefix = bench::format("c%zuu", i);
		ok = bench::login_clients(server.socket_path, (int)o.clients[i], prefix, &clients);
		usleep(SETTLE_MS * 1000);
		ok = ok && measure(server.proc, bench::format("server, %ld clients", o.clients[i]), &loaded_server[i]);
		bench::close_all(&clients);
	}
	ok = ok && bench::login_clients(server.socket_path, 1, "after", &clients) && alone_online(clients[0]);
	usleep(SETTLE_MS * 1000);
	ok = ok && measure(server.proc, "server, after the clients", &after_server);
	bench::close_all(&clients);
	tt::stop_server(&server);
	tt::remove_account(account);
	if (!ok) {
		fprintf(stderr, "%s: a measurement failed\n", argv[0]);
		return 1;
	}

	printf("Memory from /proc/PID/smaps_rollup: resident, proportional (Pss) and private (Private_Clean + "
	       "Private_Dirty), the largest of %ld runs. Sessions are logged in and idle, alone or beside another session "
	       "of the same mode; the server's clients are logged in and idle.\n\n",
	       o.repetitions);
	bench::Table t;
	t.header = {"process", "resident", "proportional", "private", "target"};
	for (int m = 0; m < 3; m++) {
		const char *target = m < 2 ? "private under 1 MiB" : "-";
		std::string what = bench::format("session, mode %s%s", mode_names[m], m == 2 ? " (pty)" : "");
		t.rows.push_back(row(what + ", alone", alone[m], target));
		t.rows.push_back(row(what + ", beside another", beside[m], target));
	}
	t.rows.push_back(row("server, 0 clients", idle_server, "-"));
	for (size_t i = 0; i < o.clients.size(); i++)
		t.rows.push_back(row(bench::format("server, %ld clients", o.clients[i]), loaded_server[i],
				     o.clients[i] == 1000 ? "resident under 8 MiB" : "-"));
	t.rows.push_back(row(bench::format("server, after the %ld clients have gone", o.clients.back()), after_server,
			     "back to 0 clients"));
	t.print();
	long n = o.clients.back();
	printf("\nServer per client at %ld clients (over 0 clients): resident %.0f bytes, private %.0f bytes.\n", n,
	       (double)(loaded_server.back().rss_kib - idle_server.rss_kib) * 1024.0 / (double)n,
	       (double)(loaded_server.back().private_kib - idle_server.private_kib) * 1024.0 / (double)n);
	printf("\nServer and sessions: %s. Machine: %s.\n", o.server.c_str(), bench::machine_line().c_str());
	return 0;
}
