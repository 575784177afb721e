// The chat server: start-up (pid file, socket, system log) and the one readiness loop over
// the listening socket and every client connection.
#include "server/server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/i18n.h"
#include "server/history.h"
#include "server/readiness.h"
#include "server/server-internal.h"

ServerState server;

namespace {

constexpr const char PID_FILE[] = "tolvard.pid";
constexpr int LISTEN_BACKLOG = 64;
constexpr unsigned int WAIT_FAILURE_PAUSE = 2;
constexpr unsigned int OUT_OF_DESCRIPTORS_PAUSE = 1;
constexpr size_t LOG_MESSAGE_SIZE = 256;
#ifdef TOLVAR_DIRECT_SENDS
constexpr int PACKETS_PER_PASS = 1;
#else
// Packets served from one client in one pass while more are waiting: what lets the pass join
// many deliveries into one write per recipient, bounded so the other clients still get served.
constexpr int PACKETS_PER_PASS = 64;
#endif
// A failed client's input that is still served before it is closed: more than a socket can
// hold of the smallest packets, yet a bound for a client that writes without reading.
constexpr int FAILED_CLIENT_PACKETS = 32768;

// The packets a client may send; the dispatcher looks the type up among the rows.
struct PacketHandler {
	int32_t type;
	const char *name;
	int (*handle)(int fd, unsigned char *bytes, const LocalPacketView &packet);
};

const PacketHandler packet_handlers[] = {
	{LOCAL_PACKET_LOGIN, "login", handle_login},
	{LOCAL_PACKET_POST_MESSAGE, "post-message", handle_post_message},
	{LOCAL_PACKET_GET_ONLINE_USERS, "get-online-users", handle_get_online_users},
	{LOCAL_PACKET_GET_HISTORY, "get-history", handle_get_history},
	{LOCAL_PACKET_ADMIN_WHO, "admin-who", handle_admin_who},
	{LOCAL_PACKET_ADMIN_KICK, "admin-kick", handle_admin_kick},
	{LOCAL_PACKET_ADMIN_MUTE, "admin-mute", handle_admin_mute},
	{LOCAL_PACKET_ADMIN_UNMUTE, "admin-unmute", handle_admin_unmute},
	{LOCAL_PACKET_ADMIN_LIST_MUTES, "admin-list-mutes", handle_admin_list_mutes},
	{LOCAL_PACKET_ADMIN_STATS, "admin-stats", handle_admin_stats},
};

const PacketHandler *find_packet_handler(int32_t type)
{
	for (const PacketHandler &h : packet_handlers)
		if (h.type == type)
			return &h;
	return nullptr;
}

// Replaces the content of the locked pid file with this process's id.
int write_pid(int fd)
{
	if (ftruncate(fd, 0) < 0) {
		perror(PID_FILE);
		return -1;
	}
	if (dprintf(fd, "%d\n", (int)getpid()) < 0) {
		perror("fprintf");
		return -1;
	}
	return 0;
}

// Opens the pid file and takes its write lock, which this process keeps for its whole life:
// a server runs exactly as long as the lock is held, whatever process the recorded pid may
// name now. The descriptor is never closed, and the file is never opened again here, since
// closing any descriptor of the file would drop the lock. Returns 0 with the lock, 1 with
// *other set when another server holds it, -1 after printing why.
int lock_pid_file(pid_t *other)
{
	int fd = open(PID_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
	if (fd < 0) {
		perror(PID_FILE);
		return -1;
	}
	// Standard input and output are closed later, and the lock must not go with them.
	if (fd <= STDOUT_FILENO) {
		int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
		close(fd);
		if (high < 0) {
			perror(PID_FILE);
			return -1;
		}
		fd = high;
	}
	struct flock lock = {};
	lock.l_type = F_WRLCK;
	lock.l_whence = SEEK_SET;
	while (fcntl(fd, F_SETLK, &lock) < 0) {
		if (errno != EACCES && errno != EAGAIN) {
			perror(PID_FILE);
			close(fd);
			return -1;
		}
		struct flock holder = lock;
		if (fcntl(fd, F_GETLK, &holder) < 0) {
			perror(PID_FILE);
			close(fd);
			return -1;
		}
		if (holder.l_type != F_UNLCK) {
			*other = holder.l_pid;
			close(fd);
			return 1;
		}
		// The holder ended between the two calls: try again.
	}
	return write_pid(fd);
}

// The listening socket on addr, mode 0600; -1 after printing why.
int open_listener(const struct sockaddr_un *addr)
{
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (fd < 0) {
		perror("socket");
		return -1;
	}
	const char *path = addr->sun_path;
	unlink(path);
	// No moment in which another account could connect before the chmod below.
	mode_t old_mask = umask(0177);
	int r = bind(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr);
	int saved = errno;
	umask(old_mask);
	if (r < 0) {
		errno = saved;
		perror(path);
		close(fd);
		return -1;
	}
	if (chmod(path, 0600) < 0) {
		perror(path);
		close(fd);
		unlink(path);
		return -1;
	}
	if (listen(fd, LISTEN_BACKLOG) < 0) {
		perror("listen");
		close(fd);
		unlink(path);
		return -1;
	}
	return fd;
}

void set_timeouts(int fd)
{
	struct timeval tv = {SERVER_IO_TIMEOUT_SECONDS, 0};
	if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0)
		syslog_perror("setsockopt");
	if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
		syslog_perror("setsockopt");
}

void accept_client(int ready)
{
	int fd;
	do
		fd = accept(server.listen_fd, nullptr, nullptr);
	while (fd < 0 && errno == EINTR);
	if (fd < 0) {
		int saved = errno;
		syslog_perror("accept");
		if (saved == EMFILE && ready == 1)
			sleep(OUT_OF_DESCRIPTORS_PAUSE);
		return;
	}
	if (fd > (cluster_active() ? CLUSTER_MAX_LOCAL_FD : SERVER_MAX_CLIENT_FD)) {
		syslog(LOG_WARNING, "cannot add fd %d to set, too many clients", fd);
		close(fd);
		return;
	}
	if (table_reserve(fd) < 0) {
		syslog(LOG_ERR, "client fd %d: out of memory for its slot", fd);
		close(fd);
		return;
	}
	if (readiness_watch(fd) < 0) {
		syslog_perror("client fd %d: cannot be watched", fd);
		close(fd);
		return;
	}
	syslog(LOG_DEBUG, "client fd %d", fd);
	set_timeouts(fd);
	slot_init(&server.slots[fd]);
	server.slots[fd].flags = CLIENT_CONNECTED;
	if (fd > server.highest_fd)
		server.highest_fd = fd;
}

// The most descriptors this process may have: clients up to the highest usable descriptor
// need a soft limit that the administrator's hard limit allows but the default does not.
void raise_descriptor_limit()
{
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) < 0 || rl.rlim_cur == rl.rlim_max)
		return;
	rl.rlim_cur = rl.rlim_max;
	if (setrlimit(RLIMIT_NOFILE, &rl) < 0)
		perror("setrlimit");
}

}  // namespace

void server_handle_packet(int fd, unsigned char *packet)
{
	LocalPacketView view;
	if (local_packet_open(packet, &view) < 0) {
		uint64_t length;
		memcpy(&length, packet, sizeof length);
		syslog(LOG_WARNING, "client fd %d malformed packet (length %llu)", fd, (unsigned long long)length);
		return;
	}
	const PacketHandler *h = find_packet_handler(view.type);
	if (h == nullptr) {
		syslog(LOG_WARNING, "client fd %d unknown packet type %d", fd, (int)view.type);
		return;
	}
	if (h->handle(fd, packet, view) < 0)
		syslog(LOG_WARNING, "client fd %d malformed %s packet (length %llu)", fd, h->name,
		       (unsigned long long)view.length);
	flood_charge(fd, view.type, view.length + LOCAL_PACKET_LENGTH_SIZE);
}

namespace {

// Whether the next packet of fd can be read now without waiting: the whole length field, or
// more of the body that the reader is assembling.
bool more_input(int fd)
{
	int n = 0;
	if (ioctl(fd, FIONREAD, &n) < 0)
		return false;
	const LocalPacketReader &reader = server.slots[fd].reader;
	return reader.buffer != nullptr ? n > 0 : (size_t)n >= LOCAL_PACKET_LENGTH_SIZE;
}

// Reads (part of) one packet of fd and handles it; false when the connection was closed.
bool serve_client(int fd)
{
	GetPacketOut out = {};
	int r = get_local_packet(fd, &out, &server.slots[fd].reader);
	switch (r) {
	case GET_PACKET_OK:
		server_handle_packet(fd, out.packet);
		free(out.packet);
		return true;
	case GET_PACKET_INCOMPLETE:
		return true;
	case GET_PACKET_EOF:
		syslog(LOG_INFO, "client fd %d EOF", fd);
		break;
	case GET_PACKET_READ_ERROR:
		syslog_perror("read");
		break;
	case GET_PACKET_SHORT_READ:
		syslog(LOG_NOTICE, "client fd %d short read", fd);
		break;
	case GET_PACKET_TOO_LARGE:
		syslog(LOG_WARNING, "client fd %d packet too large (%u bytes)", fd, (unsigned int)out.length);
		break;
	case GET_PACKET_OUT_OF_MEMORY:
		syslog(LOG_WARNING, "client fd %d out of memory (allocating %u bytes)", fd, (unsigned int)out.length);
		break;
	default:
		syslog(LOG_WARNING, "client fd %d unknown error", fd);
		break;
	}
	close_client(fd);
	return false;
}

// Serves the whole packets that failed client fd had sent: a peer that posted and went is heard
// to its end, as any other. False when serving it closed the connection.
bool serve_remaining_input(int fd)
{
	for (int n = 0; n < FAILED_CLIENT_PACKETS && more_input(fd); n++)
		if (!serve_client(fd))
			return false;
	return true;
}

// The loop: each pass waits for readiness, accepts a waiting connection, then serves every
// ready client in descriptor order, and ends with what the pass owes the clients.
[[noreturn]] void serve_forever()
{
	for (;;) {
		const int *ready;
		// The wait ends when the first connection that flood control holds back has refilled,
		// or when the bus wants its heartbeat.
		int timeout = flood_timeout_ms();
		int bus_timeout = cluster_tick();
		if (bus_timeout >= 0 && (timeout < 0 || bus_timeout < timeout))
			timeout = bus_timeout;
		int count = readiness_wait(&ready, timeout);
		if (count < 0) {
			if (errno != EINTR) {
				syslog_perror("select");	// the record operators know a failed wait by
				sleep(WAIT_FAILURE_PAUSE);
			}
			continue;
		}
		flood_release();
		if (std::binary_search(ready, ready + count, server.listen_fd))
			accept_client(count);
		if (cluster_active() && std::binary_search(ready, ready + count, cluster_wakeup_fd()))
			cluster_receive();
		for (int i = 0; i < count; i++) {
			int fd = ready[i];
			// A client closed earlier in this pass may still be reported ready; one whose write
			// failed is heard and closed at the end of the pass.
			if (!client_has(fd, CLIENT_CONNECTED) || client_has(fd, CLIENT_FAILED))
				continue;
			for (int n = 0; n < PACKETS_PER_PASS && flood_admit(fd) && serve_client(fd); n++)
				if (client_has(fd, CLIENT_FAILED) || !more_input(fd))
					break;
		}
		server_end_pass();
	}
}

}  // namespace

void server_end_pass()
{
	// Each round closes one failed client; what it still sent, and announcing it offline,
	// may make others fail in turn.
	for (;;) {
		flush_send_queues();
		int fd = -1;
		for (int i = 0; i <= server.highest_fd; i++) {
			if (client_has(i, CLIENT_FAILED)) {
				fd = i;
				break;
			}
		}
		if (fd < 0)
			break;
		if (!serve_remaining_input(fd))
			continue;
		syslog(LOG_WARNING, "client fd %d dropped after a failed write", fd);
		stats_add(COUNTER_CLIENTS_DROPPED, 1);
		close_client(fd);
	}
	if (server.closed_in_pass)
		recompute_highest_fd();
}

void syslog_perror(const char *format, ...)
{
	int saved = errno;
	char message[LOG_MESSAGE_SIZE];
	va_list ap;
	va_start(ap, format);
	vsnprintf(message, sizeof message, format, ap);
	va_end(ap);
	syslog(LOG_ERR, "%s: %s (%d)", message, strerror(saved), saved);
	errno = saved;
}

int server_mode(const struct sockaddr_un *addr)
{
	pid_t other = 0;
	int locked = lock_pid_file(&other);
	if (locked == 1)
		fprintf(stderr, _("Another server process %d is running\n"), (int)other);
	if (locked != 0)
		return 1;
	raise_descriptor_limit();
	// Before standard input and output close, so that their numbers go to the listening
	// socket and the first client.
	if (readiness_open() < 0) {
		perror("epoll_create1");
		return 1;
	}
	signal(SIGPIPE, SIG_IGN);
	openlog("tolvard", LOG_PID, LOG_DAEMON);
	// Loaded while standard input and output are open, so that the history file and the log
	// take none of the descriptors that clients get.
	history_init();
	moderation_start();
	close(STDIN_FILENO);
	close(STDOUT_FILENO);
	int fd = open_listener(addr);
	if (fd < 0)
		return 1;
	if (table_reserve(fd) < 0 || readiness_watch(fd) < 0) {
		perror("epoll_ctl");
		close(fd);
		unlink(addr->sun_path);
		return 1;
	}

	server.listen_fd = fd;
	server.highest_fd = fd;
	server.closed_in_pass = false;
	// After the listening socket, so that the bus client's sockets take none of the numbers
	// the first clients get.
	if (cluster_start() < 0 || (cluster_active() && readiness_watch(cluster_wakeup_fd()) < 0)) {
		if (cluster_active())
			perror("epoll_ctl");
		unlink(addr->sun_path);
		return 1;
	}
	serve_forever();
}
