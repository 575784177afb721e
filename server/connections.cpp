// The connection table: one slot per descriptor up to the highest one in use, grown when a
// client gets a higher descriptor and shrunk when the high ones have closed; closing a
// connection with its logout step.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include "server/readiness.h"
#include "server/server-internal.h"

namespace {

constexpr int MIN_SLOTS = 64;
// The table shrinks to fit when it holds this many times the slots in use, so that a
// descriptor count that goes up and down a little does not move it each time.
constexpr int SHRINK_FACTOR = 4;

size_t table_bytes(int slots)
{
	size_t page = (size_t)sysconf(_SC_PAGESIZE);
	size_t bytes = sizeof(ClientSlot) * (size_t)slots;
	return (bytes + page - 1) / page * page;
}

// The fewest slots, a power of two and at least MIN_SLOTS, that hold descriptor fd.
int slots_for(int fd)
{
	int slots = MIN_SLOTS;
	while (slots <= fd)
		slots *= 2;
	return slots;
}

// Moves the table to slots slots (new ones empty). The table is a mapping of its own, so the
// pages of a shrunk table go back to the system at once, whatever the heap holds. False when
// there is no memory for it.
bool resize_table(int slots)
{
	void *p;
	if (server.slots == nullptr)
		p = mmap(nullptr, table_bytes(slots), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	else
		p = mremap(server.slots, table_bytes(server.slot_count), table_bytes(slots), MREMAP_MAYMOVE);
	if (p == MAP_FAILED)
		return false;
	server.slots = static_cast<ClientSlot *>(p);
	for (int fd = server.slot_count; fd < slots; fd++)
		slot_init(&server.slots[fd]);
	server.slot_count = slots;
	return true;
}

}  // namespace

int table_reserve(int fd)
{
	if (fd < server.slot_count)
		return 0;
	int slots = slots_for(fd);
	if (send_queue_reserve(slots) < 0 || !resize_table(slots)) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

void recompute_highest_fd()
{
	int highest = server.listen_fd;
	for (int fd = 0; fd <= server.highest_fd && fd <= SERVER_MAX_CLIENT_FD; fd++)
		if (client_has(fd, CLIENT_CONNECTED) && fd > highest)
			highest = fd;
	server.highest_fd = highest;
	server.closed_in_pass = false;
	int slots = slots_for(highest);
	if (server.slot_count >= SHRINK_FACTOR * slots && resize_table(slots))
		(void)send_queue_reserve(slots);	// a failed shrink keeps the larger room
}

void slot_init(ClientSlot *slot)
{
	memset(slot->user, 0, sizeof slot->user);
	memset(slot->host, 0, sizeof slot->host);
	slot->encoding = nullptr;
	local_packet_reader_init(&slot->reader);
	send_queue_init(&slot->queue);
	slot->flags = 0;
	slot->activity = SessionActivity{};
	flood_slot_init(&slot->flood);
}

bool client_is_recipient(int fd)
{
	return client_has(fd, CLIENT_CONNECTED) && !client_has(fd, CLIENT_FAILED) && server.slots[fd].user[0] != '\0';
}

std::string_view slot_user(int fd)
{
	return std::string_view(server.slots[fd].user);
}

void close_client(int fd)
{
	// What the pass owes it still goes out before the end of the stream.
	settle_send_queue(fd);
	readiness_forget(fd);
	flood_forget(fd);
	close(fd);
	ClientSlot *slot = &server.slots[fd];
	slot->flags = 0;
	free(slot->encoding);
	slot->encoding = nullptr;
	if (slot->user[0] != '\0')
		logout_step(fd, slot->user);
	memset(slot->user, 0, sizeof slot->user);
	memset(slot->host, 0, sizeof slot->host);
	local_packet_reader_reset(&slot->reader);
	server.closed_in_pass = true;
}
