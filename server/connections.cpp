// The connection table: sending to a client, and closing a connection with its logout step.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "server/server-internal.h"

namespace {

int64_t monotonic_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Writes all of packet within one send time-out in all, however slowly the peer drains it:
// a client that reads a few bytes now and then cannot hold the server longer than that.
int send_within_timeout(int fd, const unsigned char *packet, size_t size)
{
	int64_t deadline = -1;
	size_t done = 0;
	while (done < size) {
		ssize_t r = send(fd, packet + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (r > 0) {
			done += (size_t)r;
			continue;
		}
		if (r == 0) {
			errno = EPIPE;
			return -1;
		}
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			return -1;
		int64_t now = monotonic_ms();
		if (deadline < 0)
			deadline = now + SERVER_IO_TIMEOUT_SECONDS * 1000;
		if (now >= deadline) {
			errno = EAGAIN;
			return -1;
		}
		struct pollfd pfd = {fd, POLLOUT, 0};
		int p = poll(&pfd, 1, (int)(deadline - now));
		if (p < 0 && errno != EINTR)
			return -1;
		if (p == 0) {
			errno = EAGAIN;
			return -1;
		}
		// Writable, hung up or in error: the next send tells which.
	}
	return 0;
}

}  // namespace

void slot_init(ClientSlot *slot)
{
	memset(slot->user, 0, sizeof slot->user);
	memset(slot->host, 0, sizeof slot->host);
	slot->encoding = nullptr;
	local_packet_reader_init(&slot->reader);
}

bool client_is_recipient(int fd)
{
	return FD_ISSET(fd, &server.clients) && !FD_ISSET(fd, &server.failed) && server.slots[fd].user[0] != '\0';
}

std::string_view slot_user(int fd)
{
	return std::string_view(server.slots[fd].user);
}

int client_send(int fd, const void *packet, size_t size)
{
	if (FD_ISSET(fd, &server.failed)) {
		errno = EPIPE;
		return -1;
	}
	if (send_within_timeout(fd, static_cast<const unsigned char *>(packet), size) == 0)
		return 0;
	// Part of the packet may have gone out: nothing more may follow it on this stream.
	FD_SET(fd, &server.failed);
	return -1;
}

void close_client(int fd)
{
	ClientSlot *slot = &server.slots[fd];
	close(fd);
	FD_CLR(fd, &server.clients);
	FD_CLR(fd, &server.failed);
	free(slot->encoding);
	slot->encoding = nullptr;
	if (slot->user[0] != '\0')
		logout_step(fd, slot->user);
	memset(slot->user, 0, sizeof slot->user);
	memset(slot->host, 0, sizeof slot->host);
	local_packet_reader_reset(&slot->reader);
	server.closed_in_pass = true;
}

void close_failed_clients()
{
	// Each round closes one client; announcing it offline may make others fail in turn.
	for (;;) {
		int fd = -1;
		for (int i = 0; i <= server.highest_fd && i <= SERVER_MAX_CLIENT_FD; i++) {
			if (FD_ISSET(i, &server.failed)) {
				fd = i;
				break;
			}
		}
		if (fd < 0)
			return;
		syslog(LOG_WARNING, "client fd %d dropped after a failed write", fd);
		close_client(fd);
	}
}

void recompute_highest_fd()
{
	int highest = server.listen_fd;
	for (int fd = 0; fd <= server.highest_fd && fd <= SERVER_MAX_CLIENT_FD; fd++)
		if (FD_ISSET(fd, &server.clients) && fd > highest)
			highest = fd;
	server.highest_fd = highest;
	server.closed_in_pass = false;
}
