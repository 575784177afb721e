// The connection table: closing a connection with its logout step.
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "server/server-internal.h"

void recompute_highest_fd()
{
	int highest = server.listen_fd;
	for (int fd = 0; fd <= server.highest_fd && fd <= SERVER_MAX_CLIENT_FD; fd++)
		if (FD_ISSET(fd, &server.clients) && fd > highest)
			highest = fd;
	server.highest_fd = highest;
	server.closed_in_pass = false;
}

void slot_init(ClientSlot *slot)
{
	memset(slot->user, 0, sizeof slot->user);
	memset(slot->host, 0, sizeof slot->host);
	slot->encoding = nullptr;
	local_packet_reader_init(&slot->reader);
	send_queue_init(&slot->queue);
	slot->activity = SessionActivity{};
}

bool client_is_recipient(int fd)
{
	return FD_ISSET(fd, &server.clients) && !FD_ISSET(fd, &server.failed) && server.slots[fd].user[0] != '\0';
}

std::string_view slot_user(int fd)
{
	return std::string_view(server.slots[fd].user);
}

void close_client(int fd)
{
	ClientSlot *slot = &server.slots[fd];
	// What the pass owes it still goes out before the end of the stream.
	settle_send_queue(fd);
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
