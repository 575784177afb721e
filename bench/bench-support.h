// What the benchmark programs share: the command line, the start, statistics, the server
// binaries to measure, many logged-in raw clients, API sessions and markdown tables.
// Accounts, processes, the real server, clocks and figures from /proc come from testing/.
#ifndef TOLVAR_BENCH_BENCH_SUPPORT_H
#define TOLVAR_BENCH_BENCH_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "testing/nats.h"
#include "testing/support.h"

namespace bench {

// ---- command line ----

// One option of a benchmark's command line, made by the functions below: -letter or --name,
// with a positive number (at most max when max > 0), a comma-separated list of them, a text,
// or nothing (a flag, set to true when given).
struct Option {
	char letter = 0;		// 0: --name only
	const char *name = nullptr;	// nullptr: -letter only
	long *count = nullptr;
	std::vector<long> *counts = nullptr;
	long max = 0;
	bool zero_ok = false;		// count: 0 is taken too
	std::string *text = nullptr;
	bool *flag = nullptr;
};
// name: also --name (letter 0: --name only).
Option count_option(char letter, long *value, long max = 0, const char *name = nullptr);
// A count that may also be 0 (a part of the benchmark left out).
Option count_or_zero_option(char letter, long *value, long max = 0);
Option counts_option(char letter, std::vector<long> *values, long max = 0);
Option text_option(const char *name, std::string *value);
Option flag_option(char letter, const char *name, bool *value);

// Reads argv by the table. -h and --help print usage and end the program with status 0;
// anything that does not fit prints usage and ends it with status 255.
void parse_options(int argc, char **argv, const std::vector<Option> &options, void (*usage)(const char *program));

// ---- set-up ----

// What every benchmark does once its options are read: ends the program with status 1 unless
// it runs as root (accounts are created) or when the descriptor limit cannot be raised to
// descriptors (0: left as it is); ignores SIGPIPE; sends the system log records of the
// programs it starts to a private log (tt::Syslog), not the host's.
void begin(const char *program, long descriptors);
// A throw-away account for the server; ends the program when it cannot be created.
tt::Account make_account(const std::string &prefix);
// True while other heavy work (fuzzers, compilers, test runs) shares the machine; *what
// names it.
bool machine_busy(std::string *what);
// One line for the table's caption: CPU model, core count, the cost of a system call, load
// average, and what else runs.
std::string machine_line();

// ---- statistics ----

double median(std::vector<double> v);
// The value at fraction q (0..1) of the sorted values (nearest rank).
double percentile(std::vector<double> v, double q);

// ---- the servers ----

// The server binary to measure: the option's value, else the environment variable, else
// the file of that name beside the built tolvard, else the built tolvard itself.
std::string server_binary(const std::string &option_value, const char *env_name, const char *basename);
// Starts exe as the server of a (tt::start_server, env added to its environment); when it does
// not start, says so, removes the account and ends the program with status 1.
void start_server_or_exit(const char *program, const tt::Account &a, const std::string &exe, tt::Server *out,
			  const std::vector<std::string> &env = {});

// The server's counters (COUNTER_COUNT of them, protocol/admin-protocol.h), asked for on a
// connection of root's that has not logged in. False after printing why.
bool server_counters(const std::string &socket_path, std::vector<uint64_t> *values);

// ---- several servers over NATS ----

// Servers of one chat joined through a private three-node NATS cluster on loopback (the
// stream kept on all three nodes); server i runs as accounts[i] and is named s<i+1>.
struct BusChat {
	tt::NatsCluster nats;
	std::vector<tt::Account> accounts;
	std::vector<tt::Server> servers;
};
// Starts the NATS cluster and count servers of exe (env added to their environment), and
// waits until every server reads the stream and has heard every other. False after printing
// why, with what it started stopped again.
bool start_bus_chat(const std::string &exe, int count, const std::vector<std::string> &env, BusChat *out);
void stop_bus_chat(BusChat *c);
// Waits until every server counts sessions in all, its own and those on the others.
bool wait_bus_sessions(const BusChat &c, uint64_t sessions, int timeout_ms);
// The bus messages sent and received by all the servers together since their start.
bool bus_totals(const BusChat &c, uint64_t *sent, uint64_t *received);

// ---- raw local clients ----

// Connects n clients to the server socket and logs them in as prefix0000, prefix0001, ...
// with encoding UTF-8, and reads every announcement that their logins cause, so that the
// connections are quiet when it returns. *fds gets the descriptors (blocking), in login
// order. False after printing why.
bool login_clients(const std::string &socket_path, int n, const std::string &prefix, std::vector<int> *fds);
void close_all(std::vector<int> *fds);

// ---- API sessions ----

// API packets read from one descriptor through a buffer.
struct ApiStream {
	int fd = -1;
	std::string buffer;
	// The next whole packet (length field included) into *packet within timeout_ms.
	bool next(std::string *packet, int timeout_ms);
	// Skips packets until a message from sender arrives.
	bool next_message_from(const std::string &sender, int timeout_ms);
};
// Sends HELLO on p's standard input and waits for PASS on its output.
bool api_handshake(tt::Process *p, ApiStream *in, int timeout_ms);

// ---- output ----

// A markdown table printed whole once it is filled.
struct Table {
	std::vector<std::string> header;
	std::vector<std::vector<std::string>> rows;
	void print() const;
};
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// 1234567 -> "1.23 M", 45600 -> "45.6 k".
std::string si(double value);

}  // namespace bench

#endif
