// What the benchmark programs share: command-line lists, clocks and statistics, the server
// binaries to measure, many logged-in raw clients, memory figures from /proc and markdown
// tables. Accounts, processes and the raw local protocol come from tests/support.
#ifndef TOLVAR_BENCH_BENCH_SUPPORT_H
#define TOLVAR_BENCH_BENCH_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test-support.h"

namespace bench {

// ---- command line ----

// Parses "10,100,1000" into positive numbers; false on anything else.
bool parse_count_list(const char *text, std::vector<long> *out);
// Parses one positive number; false on anything else.
bool parse_count(const char *text, long *out);

// ---- set-up ----

// Ends the program with status 1 unless it runs as root (accounts are created).
void require_root(const char *program);
// Raises the soft descriptor limit to at least want (up to the hard limit, raising that too
// when allowed); children started afterwards inherit it. False when it stays below want.
bool raise_descriptor_limit(long want);
// A throw-away account for the server, with the benchmark's private system log; ends the
// program when it cannot be created.
tt::Account make_account(const std::string &prefix);
// True while other heavy work (fuzzers, compilers, test runs) shares the machine; *what
// names it.
bool machine_busy(std::string *what);
// One line for the table's caption: CPU model, core count, the cost of a system call, load
// average, and what else runs.
std::string machine_line();

// ---- clocks and statistics ----

int64_t now_ns();	// monotonic
double median(std::vector<double> v);
// The value at fraction q (0..1) of the sorted values (nearest rank).
double percentile(std::vector<double> v, double q);

// ---- the servers ----

// The server binary to measure: the option's value, else the environment variable, else
// the file of that name beside the built tolvard, else the built tolvard itself.
std::string server_binary(const char *option_value, const char *env_name, const char *basename);
// Starts exe (a tolvard build) as the server of account a, like tt::start_server; env is
// added to its environment.
bool start_server_binary(const tt::Account &a, const std::string &exe, tt::Server *out,
			 const std::vector<std::string> &env = {});
void stop_server(tt::Server *s);

// ---- raw local clients ----

// Connects n clients to the server socket and logs them in as prefix0000, prefix0001, ...
// with encoding UTF-8, and reads every announcement that their logins cause, so that the
// connections are quiet when it returns. *fds gets the descriptors (blocking), in login
// order. False after printing why.
bool login_clients(const std::string &socket_path, int n, const std::string &prefix, std::vector<int> *fds);
void close_all(std::vector<int> *fds);

// ---- loopback TCP ----

// A port on 127.0.0.1 that was free a moment ago; -1 on failure.
int free_port();
// A connection to 127.0.0.1:port (TCP_NODELAY); -1 with errno on failure.
int connect_tcp(int port);
// Waits up to timeout_ms until 127.0.0.1:port accepts connections.
bool wait_for_port(int port, int timeout_ms);

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

// ---- memory ----

struct Memory {
	long rss_kib = 0;
	long pss_kib = 0;
	long private_kib = 0;	// Private_Clean + Private_Dirty
};
// Reads /proc/pid/smaps_rollup. False when it cannot be read.
bool read_memory(pid_t pid, Memory *out);
// Private memory per mapped file (or [heap], [stack], anonymous) from /proc/pid/smaps,
// largest first, one "  KiB  name" line each.
std::string private_by_mapping(pid_t pid);

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
