// What the black-box tests and the benchmarks share: real accounts with fresh homes, processes
// run as those accounts on pipes or a pseudo-terminal, a private system log, and the server
// over its socket, spoken to in raw local packets (testing/local-packets.h).
#ifndef TOLVAR_TESTING_SUPPORT_H
#define TOLVAR_TESTING_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/clock.h"
#include "testing/local-packets.h"

namespace tt {

// ---- shell ----

// Runs a shell command as the caller; returns its exit code, or -1 when it did not exit.
int shell(const std::string &cmd);
// s in single quotes, for a shell command line.
std::string shell_quote(const std::string &s);
// A fresh directory /tmp/prefix-XXXXXX with mode 0755; empty on failure.
std::string make_scratch_dir(const std::string &prefix);
// Removes path and everything below it.
void remove_tree(const std::string &path);

// ---- accounts ----

struct Account {
	std::string name;
	uid_t uid = 0;
	gid_t gid = 0;
	std::string home;	// a fresh directory owned by the account, mode 0755
};

// Creates (after removing a stale one) the account name with a fresh home under /tmp and
// the given login shell. Returns false and prints why on failure. For the fixed name "tolvar"
// it first waits for other test processes that have used that account, until they end.
bool create_account(const std::string &name, Account *out, const std::string &login_shell = "/bin/sh");
// Kills the account's processes, deletes it and its home.
void remove_account(const Account &a);
// A name unique to this test process: prefix + pid (at most 32 bytes).
std::string unique_account_name(const std::string &prefix);

// ---- programs ----

// Path of a copy of the built program that any account may run (copied once per process).
std::string program_path(const std::string &built_path);
std::string tolvard_path();	// built tolvard
std::string tolvaradm_path();	// built tolvaradm

// ---- running under a checker ----

// TOLVAR_TEST_WRAPPER, a command line split at spaces (for example "/usr/bin/valgrind
// --log-file=/tmp/vg/%p.log"), goes in front of the tolvard, tolvaradm or echo bot that spawn
// starts as argv[0] or through prlimit (see wrapper_position in the source for the rest).
// Such a process is stopped with SIGTERM rather than SIGKILL, so that the checker can report
// as it dies.
bool wrapper_active();
// Time-outs of the support scaled for a wrapped run: TOLVAR_TEST_TIME_SCALE, or 10 with a
// wrapper and 1 without.
int scaled_ms(int ms);

// ---- processes ----

struct Spec {
	std::vector<std::string> argv;	// argv[0] is the file run (absolute path)
	std::vector<std::string> env;	// the whole environment ("K=V"); ASAN/UBSAN options are added
	uid_t uid = 0;			// 0: stay root
	gid_t gid = 0;
	std::string cwd;		// empty: "/"
	bool pty = false;		// standard input, output and error on a new pseudo-terminal
	bool merge_stderr = false;	// pipes: standard error goes to the output pipe
	bool stdin_null = false;	// pipes: standard input from /dev/null
	std::string exe;		// file to run instead of argv[0] (argv[0] is then only the name)
};

struct Process {
	pid_t pid = -1;
	int in = -1;	// write end of standard input (the pty master with pty)
	int out = -1;	// read end of standard output (the pty master with pty)
	int err = -1;	// read end of standard error (-1 with pty or merge_stderr)
	int status = -1;	// wait status once reaped
	bool reaped = false;
	bool wrapped = false;	// started under TOLVAR_TEST_WRAPPER
	bool term_for_kill = false;	// wrapped, and sent SIGTERM in place of SIGKILL

	Process() = default;
	Process(const Process &) = delete;
	Process &operator=(const Process &) = delete;
	Process(Process &&o) noexcept;
	Process &operator=(Process &&o) noexcept;
	~Process();	// kills (SIGKILL; wrapped: SIGTERM first) and reaps if running, closes descriptors

	// Waits up to timeout_ms for the end. Returns true when it ended.
	bool wait(int timeout_ms);
	// Exit status, or 128 + signal, or -1 while running.
	int exit_code() const;
	void kill_now(int sig = 9);	// a wrapped process gets SIGTERM for SIGKILL
	void close_in();

private:
	void stop_wrapped();
};

bool spawn(const Spec &spec, Process *out);
// Raises the soft descriptor limit to at least want (up to the hard limit, raising that too
// when allowed); children started afterwards inherit it. False when it stays below want.
bool raise_descriptor_limit(long want);

// Runs to the end with no input; collects output and error. Returns the exit code (-1 on time-out).
int run(const Spec &spec, std::string *out, std::string *err, int timeout_ms = 20000);

// Reads what fd has until needle appears in *acc (appending to it) or timeout_ms passes.
bool read_until(int fd, const std::string &needle, int timeout_ms, std::string *acc);
// Reads until end of file or timeout; appends to *acc. Returns true on end of file.
bool read_to_eof(int fd, int timeout_ms, std::string *acc);
// Reads whatever arrives within timeout_ms.
void read_for(int fd, int timeout_ms, std::string *acc);
// Reads exactly n bytes. Returns false on end of file or time-out.
bool read_exact(int fd, size_t n, int timeout_ms, std::string *acc);
bool write_all(int fd, const void *data, size_t n);
inline bool write_all(int fd, const std::string &s) { return write_all(fd, s.data(), s.size()); }

// Environment an SSH daemon gives a session of account a.
std::vector<std::string> ssh_env(const Account &a, const std::string &command = "",
				 const std::string &lang = "en_US.UTF-8");
// A client session as an SSH daemon starts it for a login of account a: "tolvard -c user"
// (or the build of tolvard at built_path) as the account, in its home, with env.
Spec session_spec(const Account &a, const std::string &user, const std::vector<std::string> &env,
		  const std::string &built_path = std::string());

// ---- system log ----

struct LogRecord {
	int facility = 0;
	int level = 0;
	std::string ident;	// "tolvard" or "tolvard:user:mode"
	int pid = 0;
	std::string text;	// the message after "ident[pid]: "
	std::string raw;
};

// The system log of this test process and its children: the first call moves the process
// into a private mount namespace whose /dev/log is a datagram socket read by a thread here.
// Call it before starting any process whose records you want.
class Syslog {
public:
	static Syslog &instance();
	std::vector<LogRecord> records();
	void clear();
	// Waits until a record whose text contains needle (and, if level >= 0, has that level).
	bool wait_for(const std::string &needle, int level = -1, int timeout_ms = 5000, LogRecord *found = nullptr);
	bool contains(const std::string &needle, int level = -1);
	size_t count(const std::string &needle);
	std::string dump();

private:
	Syslog();
	void reader();
	int fd_ = -1;
	std::mutex mu_;
	std::vector<LogRecord> records_;
	std::thread thread_;
};

// ---- the server ----

struct Server {
	Account account;
	Process proc;
	std::string socket_path;
};

// The environment entries that turn the server's flood control off: test servers run with
// them unless env sets the flood variables itself.
extern const std::vector<std::string> FLOOD_OFF;
// The entries that give the server its default flood control again (an empty value is as good
// as none).
extern const std::vector<std::string> FLOOD_DEFAULT;
// Starts tolvard as a.account in its home (env: more of its environment, in place of the
// defaults of the same name) and waits until the
// socket accepts connections and the server has closed its end of that first connection
// again, so that the caller's clients get ascending connection ids. built_path names another
// build of tolvard to run instead (copied as by program_path).
bool start_server(const Account &a, Server *out, const std::string &built_path = std::string(),
		  const std::vector<std::string> &env = {});
// Kills a started server (as Process::kill_now) and reaps it.
void stop_server(Server *s);
// Connects to a server socket (as root, so the 0600 mode does not stop the test).
int connect_socket(const std::string &path);
// Reads one whole local packet (length field included) within timeout_ms; empty on end/time-out.
std::string read_local_packet(int fd, int timeout_ms = 5000);

}  // namespace tt

#endif
