#include "testing/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/local-protocol.h"
#include "testing/proc-files.h"

namespace tt {

namespace {

// What read_local_packet takes from a peer that may break the protocol on purpose.
constexpr uint64_t READ_PACKET_LIMIT = 64u << 20;

}  // namespace

// ---- shell ----

int shell(const std::string &cmd)
{
	int rc = system(cmd.c_str());
	return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string shell_quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s) {
		if (c == '\'')
			q += "'\\''";
		else
			q += c;
	}
	return q + "'";
}

std::string make_scratch_dir(const std::string &prefix)
{
	std::string path = "/tmp/" + prefix + "-XXXXXX";
	if (mkdtemp(&path[0]) == nullptr || chmod(path.c_str(), 0755) < 0)
		return std::string();
	return path;
}

void remove_tree(const std::string &path)
{
	if (!path.empty())
		shell("rm -rf " + shell_quote(path));
}

// ---- running under a checker ----

namespace {

std::vector<std::string> split_words(const std::string &s)
{
	std::vector<std::string> words;
	size_t i = 0;
	while (i < s.size()) {
		size_t j = s.find(' ', i);
		if (j == std::string::npos)
			j = s.size();
		if (j > i)
			words.push_back(s.substr(i, j - i));
		i = j + 1;
	}
	return words;
}

const std::vector<std::string> &wrapper()
{
	static const std::vector<std::string> words = [] {
		const char *w = getenv("TOLVAR_TEST_WRAPPER");
		return split_words(w != nullptr ? w : "");
	}();
	return words;
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The project's own programs, given by absolute path.
bool is_wrapped_program(const std::string &path)
{
	std::string base = base_name(path);
	return !path.empty() && path[0] == '/' && (base == "tolvard" || base == "tolvaradm" || base == "tolvar-echo-bot");
}

// Where the wrapper goes in args: before argv[0], or before the program that prlimit runs
// when the limit leaves the checker descriptors of its own. -1: nowhere. Programs behind a
// shell or setpriv are not wrapped: a shell takes them as arguments, and the checker would
// give the program its real user id as effective one too.
long wrapper_position(const std::vector<std::string> &args)
{
	if (args.empty())
		return -1;
	if (is_wrapped_program(args[0]))
		return 0;
	if (base_name(args[0]) != "prlimit")
		return -1;
	for (size_t i = 1; i < args.size(); i++) {
		if (args[i].rfind("--nofile=", 0) == 0 && atoi(args[i].c_str() + 9) < 64)
			return -1;
		if (is_wrapped_program(args[i]))
			return (long)i;
	}
	return -1;
}

// Whether pid sleeps in a call that waits for input or time (from /proc/PID/syscall).
bool sleeps_waiting(pid_t pid)
{
	long nr;
	if (!read_syscall(pid, &nr))
		return true;
	switch (nr) {
	case SYS_read: case SYS_poll: case SYS_ppoll: case SYS_select: case SYS_pselect6:
	case SYS_epoll_wait: case SYS_epoll_pwait: case SYS_accept: case SYS_accept4: case SYS_wait4:
	case SYS_nanosleep: case SYS_clock_nanosleep: case SYS_recvfrom: case SYS_recvmsg:
		return true;
	default:
		return false;
	}
}

}  // namespace

bool wrapper_active() { return !wrapper().empty(); }

int scaled_ms(int ms)
{
	static const int scale = [] {
		const char *s = getenv("TOLVAR_TEST_TIME_SCALE");
		int v = s != nullptr ? atoi(s) : 0;
		return v > 0 ? v : (wrapper_active() ? 10 : 1);
	}();
	return ms > INT_MAX / scale ? INT_MAX : ms * scale;
}

// ---- accounts ----

std::string unique_account_name(const std::string &prefix)
{
	return (prefix + std::to_string(getpid())).substr(0, 32);
}

namespace {

// The fixed account name "tolvar" is shared by several suites, and CTest's resource locks only
// hold within one ctest run: a lock file keeps test processes of different runs apart too.
// It is held until the process ends: a test that removes the account and then counts on its
// absence must not see another run create it meanwhile.
int fixed_account_lock = -1;

void lock_fixed_account(const std::string &name)
{
	if (name != "tolvar" || fixed_account_lock >= 0)
		return;
	fixed_account_lock = open("/tmp/tolvar-test-account-tolvar.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	if (fixed_account_lock >= 0) {
		while (flock(fixed_account_lock, LOCK_EX) < 0 && errno == EINTR) {
		}
	}
}

}  // namespace

bool create_account(const std::string &name, Account *out, const std::string &login_shell)
{
	lock_fixed_account(name);
	if (getpwnam(name.c_str()) != nullptr) {
		shell("pkill -9 -u " + shell_quote(name) + " >/dev/null 2>&1");
		for (int i = 0; i < 50 && shell("userdel " + shell_quote(name) + " >/dev/null 2>&1") != 0 &&
				getpwnam(name.c_str()) != nullptr; i++)
			usleep(100000);
	}
	std::string home = make_scratch_dir("tolvar-home");
	if (home.empty()) {
		perror("mkdtemp");
		return false;
	}
	// useradd takes a lock on the user database; parallel test processes may meet there.
	int rc = -1;
	for (int i = 0; i < 100; i++) {
		rc = shell("useradd -M -N -g nogroup -d " + shell_quote(home) + " -s " + shell_quote(login_shell) + " " +
			   shell_quote(name) + " 2>/dev/null");
		if (rc == 0 || rc == 9)	// 9: the name exists
			break;
		usleep(100000);
	}
	struct passwd *pw = getpwnam(name.c_str());
	if (rc != 0 || pw == nullptr) {
		fprintf(stderr, "create_account: useradd %s failed (%d)\n", name.c_str(), rc);
		rmdir(home.c_str());
		return false;
	}
	out->name = name;
	out->uid = pw->pw_uid;
	out->gid = pw->pw_gid;
	out->home = home;
	if (chown(home.c_str(), out->uid, out->gid) < 0 || chmod(home.c_str(), 0755) < 0) {
		perror("chown home");
		return false;
	}
	return true;
}

void remove_account(const Account &a)
{
	if (a.name.empty())
		return;
	if (wrapper_active()) {
		// Let the checker of every wrapped process report before the account goes.
		shell("pkill -TERM -u " + shell_quote(a.name) + " >/dev/null 2>&1");
		shell("pkill -CONT -u " + shell_quote(a.name) + " >/dev/null 2>&1");
		int64_t end = now_ms() + scaled_ms(3000);
		while (shell("pgrep -u " + shell_quote(a.name) + " >/dev/null 2>&1") == 0 && now_ms() < end)
			usleep(50000);
	}
	shell("pkill -9 -u " + shell_quote(a.name) + " >/dev/null 2>&1");
	for (int i = 0; i < 50; i++) {
		if (shell("userdel " + shell_quote(a.name) + " >/dev/null 2>&1") == 0 || getpwnam(a.name.c_str()) == nullptr)
			break;
		usleep(100000);
	}
	if (a.home.rfind("/tmp/tolvar-home-", 0) == 0)
		remove_tree(a.home);
}

// ---- programs ----

std::string program_path(const std::string &built_path)
{
	static std::string dir;
	if (dir.empty()) {
		dir = make_scratch_dir("tolvar-bin");
		if (dir.empty())
			return built_path;
		atexit([] { remove_tree(dir); });
	}
	std::string base = built_path.substr(built_path.rfind('/') + 1);
	std::string dest = dir + "/" + base;
	if (access(dest.c_str(), X_OK) != 0)
		shell("cp " + shell_quote(built_path) + " " + shell_quote(dest) + " && chmod 0755 " + shell_quote(dest));
	return dest;
}

std::string tolvard_path() { return program_path(TOLVARD_BUILT_PATH); }
std::string tolvaradm_path() { return program_path(TOLVARADM_BUILT_PATH); }

// ---- processes ----

Process::Process(Process &&o) noexcept { *this = std::move(o); }

Process &Process::operator=(Process &&o) noexcept
{
	if (this != &o) {
		this->~Process();
		pid = o.pid;
		in = o.in;
		out = o.out;
		err = o.err;
		status = o.status;
		reaped = o.reaped;
		wrapped = o.wrapped;
		term_for_kill = o.term_for_kill;
		o.pid = -1;
		o.in = o.out = o.err = -1;
		o.reaped = true;
		o.wrapped = false;
	}
	return *this;
}

// memcheck can lose sight of the registers of a program that a signal catches in the middle
// of another system call (a write, say), and then reports what only they pointed to as lost:
// the signal waits, for a while, until the program sleeps waiting for input or time.
void Process::stop_wrapped()
{
	int64_t end = now_ms() + scaled_ms(1000);
	while (!wait(0) && !sleeps_waiting(pid) && now_ms() < end)
		usleep(2000);
	if (!reaped) {
		::kill(pid, SIGTERM);
		::kill(pid, SIGCONT);	// SIGKILL would end a stopped process too
		term_for_kill = true;
	}
}

Process::~Process()
{
	if (pid > 0 && !reaped && wrapped) {
		stop_wrapped();	// the checker reports as the process dies
		wait(3000);
	}
	if (pid > 0 && !reaped) {
		::kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
		reaped = true;
	}
	if (in >= 0)
		close(in);
	if (out >= 0 && out != in)
		close(out);
	if (err >= 0)
		close(err);
	in = out = err = -1;
}

bool Process::wait(int timeout_ms)
{
	if (reaped)
		return true;
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	for (;;) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid) {
			reaped = true;
			return true;
		}
		if (r < 0 && errno != EINTR)
			return false;
		if (now_ms() >= end)
			return false;
		usleep(5000);
	}
}

int Process::exit_code() const
{
	if (!reaped)
		return -1;
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	// A wrapped process stopped with SIGTERM for a SIGKILL reports as killed.
	if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM && term_for_kill)
		return 128 + SIGKILL;
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return -1;
}

void Process::kill_now(int sig)
{
	if (pid > 0 && !reaped && wrapped && sig == SIGKILL)
		stop_wrapped();
	else if (pid > 0 && !reaped)
		::kill(pid, sig);
}

void Process::close_in()
{
	if (in >= 0 && in != out)
		close(in);
	in = -1;
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

bool spawn(const Spec &spec, Process *out)
{
	int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
	int master = -1, slave = -1;
	if (spec.pty) {
		struct winsize ws = {};
		ws.ws_row = 40;
		ws.ws_col = 120;
		if (openpty(&master, &slave, nullptr, nullptr, &ws) < 0)
			return false;
		if (spec.uid != 0 && fchown(slave, spec.uid, spec.gid) < 0)
			return false;
	} else {
		if ((!spec.stdin_null && pipe2(in_pipe, O_CLOEXEC) < 0) || pipe2(out_pipe, O_CLOEXEC) < 0 ||
		    (!spec.merge_stderr && pipe2(err_pipe, O_CLOEXEC) < 0))
			return false;
	}
	std::vector<std::string> env = spec.env;
	for (const char *k : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
		const char *v = getenv(k);
		std::string prefix = std::string(k) + "=";
		bool given = false;	// the caller's own setting wins
		for (const auto &e : env)
			given = given || e.rfind(prefix, 0) == 0;
		if (v != nullptr && !given)
			env.push_back(prefix + v);
	}
	std::vector<std::string> args = spec.argv;
	std::string exe = spec.exe.empty() ? spec.argv.at(0) : spec.exe;
	bool wrapped = false;
	// With exe given, argv[0] is only a name, which the wrapper would not pass on.
	long at = wrapper_active() && spec.exe.empty() ? wrapper_position(args) : -1;
	if (at >= 0) {
		args.insert(args.begin() + at, wrapper().begin(), wrapper().end());
		exe = args[0];
		wrapped = true;
	}
	std::vector<char *> argv, envp;
	for (const auto &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	for (const auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);

	pid_t pid = fork();
	if (pid < 0)
		return false;
	if (pid == 0) {
		signal(SIGPIPE, SIG_DFL);
		if (spec.pty) {
			setsid();
			ioctl(slave, TIOCSCTTY, 0);
			dup2(slave, 0);
			dup2(slave, 1);
			dup2(slave, 2);
			if (slave > 2)
				close(slave);
			close(master);
		} else {
			if (spec.stdin_null) {
				int n = open("/dev/null", O_RDONLY);
				dup2(n, 0);
				if (n > 0)
					close(n);
			} else {
				dup2(in_pipe[0], 0);
			}
			dup2(out_pipe[1], 1);
			dup2(spec.merge_stderr ? out_pipe[1] : err_pipe[1], 2);
		}
		if (spec.uid != 0) {
			if (setgroups(0, nullptr) < 0 || setgid(spec.gid) < 0 || setuid(spec.uid) < 0)
				_exit(126);
		}
		if (chdir(spec.cwd.empty() ? "/" : spec.cwd.c_str()) < 0)
			_exit(126);
		execve(exe.c_str(), argv.data(), envp.data());
		_exit(127);
	}
	out->pid = pid;
	out->reaped = false;
	out->wrapped = wrapped;
	out->term_for_kill = false;
	if (spec.pty) {
		close(slave);
		out->in = master;
		out->out = master;
		out->err = -1;
	} else {
		if (!spec.stdin_null) {
			close(in_pipe[0]);
			out->in = in_pipe[1];
		}
		close(out_pipe[1]);
		out->out = out_pipe[0];
		if (!spec.merge_stderr) {
			close(err_pipe[1]);
			out->err = err_pipe[0];
		}
	}
	return true;
}

int run(const Spec &spec, std::string *out, std::string *err, int timeout_ms)
{
	Spec s = spec;
	s.stdin_null = true;
	Process p;
	if (!spawn(s, &p))
		return -1;
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	bool out_open = p.out >= 0, err_open = p.err >= 0;
	std::string sink;
	while ((out_open || err_open) && now_ms() < end) {
		struct pollfd fds[2];
		int n = 0;
		if (out_open)
			fds[n++] = {p.out, POLLIN, 0};
		if (err_open)
			fds[n++] = {p.err, POLLIN, 0};
		if (poll(fds, n, 100) <= 0)
			continue;
		for (int i = 0; i < n; i++) {
			if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			char buf[4096];
			ssize_t r = read(fds[i].fd, buf, sizeof buf);
			bool is_out = fds[i].fd == p.out;
			if (r <= 0) {
				(is_out ? out_open : err_open) = false;
				continue;
			}
			std::string *dst = is_out ? out : err;
			(dst != nullptr ? dst : &sink)->append(buf, (size_t)r);
		}
	}
	while (!p.wait(0)) {
		if (now_ms() >= end)
			return -1;
		usleep(5000);
	}
	return p.exit_code();
}

static bool wait_readable(int fd, int64_t end)
{
	for (;;) {
		int64_t left = end - now_ms();
		if (left <= 0)
			return false;
		struct pollfd pfd = {fd, POLLIN, 0};
		int r = poll(&pfd, 1, (int)left);
		if (r > 0)
			return true;
		if (r < 0 && errno != EINTR)
			return false;
	}
}

bool read_until(int fd, const std::string &needle, int timeout_ms, std::string *acc)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	while (acc->find(needle) == std::string::npos) {
		if (!wait_readable(fd, end))
			return false;
		char buf[4096];
		ssize_t r = read(fd, buf, sizeof buf);
		if (r <= 0)
			return acc->find(needle) != std::string::npos;
		acc->append(buf, (size_t)r);
	}
	return true;
}

bool read_to_eof(int fd, int timeout_ms, std::string *acc)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	for (;;) {
		if (!wait_readable(fd, end))
			return false;
		char buf[4096];
		ssize_t r = read(fd, buf, sizeof buf);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return true;	// EOF, or EIO on a pty whose other side is gone
		acc->append(buf, (size_t)r);
	}
}

void read_for(int fd, int timeout_ms, std::string *acc)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	while (wait_readable(fd, end)) {
		char buf[4096];
		ssize_t r = read(fd, buf, sizeof buf);
		if (r <= 0)
			return;
		acc->append(buf, (size_t)r);
	}
}

bool read_exact(int fd, size_t n, int timeout_ms, std::string *acc)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	size_t got = 0;
	while (got < n) {
		if (!wait_readable(fd, end))
			return false;
		char buf[65536];
		size_t want = n - got < sizeof buf ? n - got : sizeof buf;
		ssize_t r = read(fd, buf, want);
		if (r <= 0)
			return false;
		acc->append(buf, (size_t)r);
		got += (size_t)r;
	}
	return true;
}

bool write_all(int fd, const void *data, size_t n)
{
	const char *p = static_cast<const char *>(data);
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		p += w;
		n -= (size_t)w;
	}
	return true;
}

std::vector<std::string> ssh_env(const Account &a, const std::string &command, const std::string &lang)
{
	std::vector<std::string> env = {
	    "HOME=" + a.home,
	    "USER=" + a.name,
	    "LOGNAME=" + a.name,
	    "SHELL=" + tolvard_path(),
	    "PATH=/usr/local/bin:/usr/bin:/bin",
	    "SSH_CLIENT=192.0.2.7 40000 22",
	    "SSH_CONNECTION=192.0.2.7 40000 192.0.2.1 22",
	};
	if (!lang.empty())
		env.push_back("LANG=" + lang);
	if (!command.empty())
		env.push_back("SSH_ORIGINAL_COMMAND=" + command);
	return env;
}

Spec session_spec(const Account &a, const std::string &user, const std::vector<std::string> &env,
		  const std::string &built_path)
{
	Spec s;
	s.argv = {built_path.empty() ? tolvard_path() : program_path(built_path), "-c", user};
	s.env = env;
	s.uid = a.uid;
	s.gid = a.gid;
	s.cwd = a.home;
	return s;
}

// ---- system log ----

namespace {

// Puts a fresh tmpfs over /dev in a private mount namespace, with every entry of the old
// /dev bound back except "log", so that our own socket can be bound there.
bool private_dev()
{
	if (unshare(CLONE_NEWNS) < 0) {
		perror("unshare(CLONE_NEWNS)");
		return false;
	}
	// Bind and propagation mounts ignore the file system type; it is given as "" rather than
	// a null pointer, which memcheck takes for an unreadable string.
	if (mount("none", "/", "", MS_REC | MS_PRIVATE, nullptr) < 0) {
		perror("mount --make-rprivate /");
		return false;
	}
	char tmpl[] = "/tmp/tolvar-olddev-XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		return false;
	std::string old = tmpl;
	if (mount("/dev", old.c_str(), "", MS_BIND | MS_REC, nullptr) < 0) {
		perror("bind /dev");
		return false;
	}
	if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") < 0) {
		perror("mount tmpfs /dev");
		return false;
	}
	DIR *d = opendir(old.c_str());
	if (d == nullptr)
		return false;
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n == "." || n == ".." || n == "log")
			continue;
		if (n == "ptmx") {
			// The old multiplexer node would look for its pts beside the old /dev.
			if (symlink("pts/ptmx", "/dev/ptmx") < 0)
				perror("/dev/ptmx");
			continue;
		}
		std::string src = old + "/" + n, dst = "/dev/" + n;
		struct stat st;
		if (lstat(src.c_str(), &st) < 0)
			continue;
		if (S_ISLNK(st.st_mode)) {
			char target[4096];
			ssize_t len = readlink(src.c_str(), target, sizeof target - 1);
			if (len >= 0) {
				target[len] = '\0';
				if (symlink(target, dst.c_str()) < 0)
					perror(dst.c_str());
			}
			continue;
		}
		if (S_ISDIR(st.st_mode)) {
			mkdir(dst.c_str(), st.st_mode & 07777);
		} else {
			int fd = open(dst.c_str(), O_CREAT | O_WRONLY, 0600);
			if (fd >= 0)
				close(fd);
		}
		if (mount(src.c_str(), dst.c_str(), "", MS_BIND | MS_REC, nullptr) < 0)
			perror(dst.c_str());
	}
	closedir(d);
	umount2(old.c_str(), MNT_DETACH);
	rmdir(old.c_str());
	return true;
}

}  // namespace

Syslog &Syslog::instance()
{
	static Syslog *s = new Syslog();
	return *s;
}

Syslog::Syslog()
{
	if (!private_dev()) {
		fprintf(stderr, "Syslog: no private /dev; log records cannot be read\n");
		abort();
	}
	fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, "/dev/log");
	if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || chmod("/dev/log", 0666) < 0) {
		perror("bind /dev/log");
		abort();
	}
	int big = 4 << 20;
	setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
	thread_ = std::thread([this] { reader(); });
	thread_.detach();
}

void Syslog::reader()
{
	static char buf[1 << 16];
	for (;;) {
		ssize_t r = recv(fd_, buf, sizeof buf, 0);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		LogRecord rec;
		rec.raw.assign(buf, (size_t)r);
		std::string s = rec.raw;
		// "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
		if (!s.empty() && s[0] == '<') {
			size_t gt = s.find('>');
			if (gt != std::string::npos) {
				int pri = atoi(s.substr(1, gt - 1).c_str());
				rec.facility = pri & ~7;
				rec.level = pri & 7;
				s = s.substr(gt + 1);
			}
		}
		if (s.size() > 16)
			s = s.substr(16);
		size_t br = s.find("]: ");
		size_t lb = br == std::string::npos ? std::string::npos : s.rfind('[', br);
		if (lb != std::string::npos) {
			rec.ident = s.substr(0, lb);
			rec.pid = atoi(s.substr(lb + 1, br - lb - 1).c_str());
			rec.text = s.substr(br + 3);
		} else {
			rec.text = s;
		}
		if (!rec.text.empty() && rec.text.back() == '\n')
			rec.text.pop_back();
		std::lock_guard<std::mutex> g(mu_);
		records_.push_back(rec);
	}
}

std::vector<LogRecord> Syslog::records()
{
	std::lock_guard<std::mutex> g(mu_);
	return records_;
}

void Syslog::clear()
{
	std::lock_guard<std::mutex> g(mu_);
	records_.clear();
}

bool Syslog::contains(const std::string &needle, int level)
{
	std::lock_guard<std::mutex> g(mu_);
	for (const auto &r : records_)
		if (r.text.find(needle) != std::string::npos && (level < 0 || r.level == level))
			return true;
	return false;
}

size_t Syslog::count(const std::string &needle)
{
	std::lock_guard<std::mutex> g(mu_);
	size_t n = 0;
	for (const auto &r : records_)
		if (r.text.find(needle) != std::string::npos)
			n++;
	return n;
}

bool Syslog::wait_for(const std::string &needle, int level, int timeout_ms, LogRecord *found)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	do {
		{
			std::lock_guard<std::mutex> g(mu_);
			for (const auto &r : records_)
				if (r.text.find(needle) != std::string::npos && (level < 0 || r.level == level)) {
					if (found != nullptr)
						*found = r;
					return true;
				}
		}
		usleep(5000);
	} while (now_ms() < end);
	return false;
}

std::string Syslog::dump()
{
	std::lock_guard<std::mutex> g(mu_);
	std::string s;
	for (const auto &r : records_)
		s += "  [" + std::to_string(r.level) + "] " + r.ident + "[" + std::to_string(r.pid) + "]: " + r.text + "\n";
	return s;
}

// ---- the server ----

int connect_socket(const std::string &path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	if (path.size() >= sizeof a.sun_path) {
		close(fd);
		return -1;
	}
	strcpy(a.sun_path, path.c_str());
	if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

namespace {

// The server's descriptor for a connection that it did not have in before: the lowest new one
// (one that the connection's first log record opens comes after it). -1 when none came
// within timeout_ms.
int accepted_fd(pid_t pid, const std::vector<int> &before, int timeout_ms)
{
	int64_t end = now_ms() + scaled_ms(timeout_ms);
	std::vector<int> now;
	do {
		if (list_fds(pid, &now))
			for (int fd : now)
				if (!std::binary_search(before.begin(), before.end(), fd))
					return fd;
		usleep(1000);
	} while (now_ms() < end);
	return -1;
}

// Ends the readiness probe fd and waits until the server has closed its end too. Connection
// ids are the server's descriptors, and the lowest free one goes to the next connection: the
// caller's first client must not find the probe's still in use, nor a later one get it.
void close_probe(pid_t pid, const std::vector<int> &before, int fd)
{
	int theirs = accepted_fd(pid, before, 2000);
	close(fd);
	int64_t end = now_ms() + scaled_ms(2000);
	std::vector<int> now;
	while (theirs >= 0 && list_fds(pid, &now) && std::binary_search(now.begin(), now.end(), theirs) &&
	       now_ms() < end)
		usleep(1000);
}

}  // namespace

const std::vector<std::string> FLOOD_OFF = {"TOLVAR_FLOOD_POSTS_PER_SECOND=0", "TOLVAR_FLOOD_BYTES_PER_SECOND=0"};
const std::vector<std::string> FLOOD_DEFAULT = {"TOLVAR_FLOOD_POSTS_PER_SECOND=", "TOLVAR_FLOOD_BYTES_PER_SECOND="};

bool start_server(const Account &a, Server *out, const std::string &built_path,
		  const std::vector<std::string> &env)
{
	out->account = a;
	out->socket_path = a.home + "/socket";
	Spec s;
	s.argv = {built_path.empty() ? tolvard_path() : program_path(built_path)};
	s.env = {"HOME=" + a.home, "PATH=/usr/bin:/bin"};
	s.env.insert(s.env.end(), FLOOD_OFF.begin(), FLOOD_OFF.end());
	for (const std::string &e : env) {
		std::string key = e.substr(0, e.find('=') + 1);
		auto same = std::find_if(s.env.begin(), s.env.end(),
					 [&key](const std::string &old) { return old.compare(0, key.size(), key) == 0; });
		if (same != s.env.end())
			*same = e;
		else
			s.env.push_back(e);
	}
	s.uid = a.uid;
	s.gid = a.gid;
	s.cwd = a.home;
	s.stdin_null = true;
	if (!spawn(s, &out->proc))
		return false;
	// A socket file left by an earlier server takes no connections: the wait goes on until
	// this server has put its own in the place.
	int64_t end = now_ms() + scaled_ms(10000);
	while (now_ms() < end) {
		struct stat st;
		if (stat(out->socket_path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600) {
			std::vector<int> before;
			list_fds(out->proc.pid, &before);
			int fd = connect_socket(out->socket_path);
			if (fd >= 0) {
				close_probe(out->proc.pid, before, fd);
				return true;
			}
		}
		if (out->proc.wait(0))
			return false;
		usleep(10000);
	}
	return false;
}

void stop_server(Server *s)
{
	if (s->proc.pid > 0) {
		s->proc.kill_now(SIGKILL);
		s->proc.wait(10000);
	}
}

std::string read_local_packet(int fd, int timeout_ms)
{
	std::string p;
	if (!read_exact(fd, LOCAL_PACKET_LENGTH_SIZE, timeout_ms, &p))
		return std::string();
	uint64_t length = packet_length(p);
	if (length > READ_PACKET_LIMIT || !read_exact(fd, (size_t)length, timeout_ms, &p))
		return std::string();
	return p;
}

}  // namespace tt
