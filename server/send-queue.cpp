// Sending to clients: the shared outbox of one pass and the packets too big for it held beside
// it, each client's queue of ranges in them, and the flush that gives every client its bytes in
// one write, within one send time-out in all.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <syslog.h>

#include "server/server-internal.h"

namespace {

#ifdef TOLVAR_DIRECT_SENDS
// One write per recipient per packet, at once: the design before the outbox, kept for the
// benchmarks' comparison.
constexpr bool DIRECT_SENDS = true;
#else
constexpr bool DIRECT_SENDS = false;
#endif

// The outbox bounds what one pass holds for all recipients together: at most this many bytes
// (so no recipient is ever owed more) and this many packets.
constexpr size_t OUTBOX_BYTES = (size_t)256 * 1024;
constexpr size_t OUTBOX_PACKETS = 4096;
// Packets too big for the outbox that one pass holds, each copied once for all its recipients:
// room for a dozen of the largest packets. Their blocks are freed when the outbox is emptied,
// so a client that is given up on holds none of them.
constexpr size_t HELD_BYTES = (size_t)32 * 1024 * 1024;
constexpr size_t HELD_PACKETS = 64;
static_assert(HELD_BYTES >= LOCAL_PACKET_LENGTH_SIZE + LOCAL_PACKET_MAX_LENGTH, "the largest packet can be held");

// Where each staged packet lies, for the log line of a send that fails inside it.
struct StagedRecord {
	uint32_t offset;
	SendWhat what;
	int from;
};

// A packet too big for the outbox.
struct HeldPacket {
	unsigned char *bytes;	// owned until the outbox is emptied
	StagedRecord record;
};

unsigned char outbox[OUTBOX_BYTES];
size_t outbox_used;
StagedRecord staged[OUTBOX_PACKETS];
size_t staged_count;
HeldPacket held[HELD_PACKETS];
size_t held_count;
size_t held_bytes;
uint32_t outbox_generation = 1;	// 0 marks a packet written directly
int queued_count;
// Room for every client at once, kept as large as the connection table.
int flush_room;
int *flush_fds;			// owned
struct pollfd *waiting;		// owned

int64_t monotonic_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Logs a failed send to client to with the errno at the call, as the sending part words it.
void log_send_failure(SendWhat what, int from, int to)
{
	switch (what) {
	case SEND_DELIVERY:
		syslog_perror("dispatch_message: from %d to %d: write", from, to);
		return;
	case SEND_NOT_FOUND:
		syslog_perror("dispatch_message: write");
		return;
	case SEND_ONLINE_USERS:
		syslog_perror("send_online_users: write to %d", to);
		return;
	case SEND_USER_STATE:
		syslog_perror("broadcast_user_state: to %d: write", to);
		return;
	case SEND_HISTORY:
		syslog_perror("send_history: write to %d", to);
		return;
	case SEND_NOTICE:
		syslog_perror("send_notice: to %d: write", to);
		return;
	case SEND_ADMIN_ANSWER:
		syslog_perror("admin answer: to %d: write", to);
		return;
	}
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
			deadline = now + (int64_t)SERVER_IO_TIMEOUT_SECONDS * 1000;
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

// The staged packet that holds the next byte fd is owed.
const StagedRecord *record_at(const SendQueue *q)
{
	size_t skip = q->sent;
	int r = 0;
	while (r < q->ranges - 1 && skip >= q->size[r]) {
		skip -= q->size[r];
		r++;
	}
	if (q->source[r] != 0)
		return &held[q->source[r] - 1].record;
	uint32_t at = q->start[r] + (uint32_t)skip;
	size_t lo = 0, hi = staged_count;	// the last record whose offset is <= at
	while (hi - lo > 1) {
		size_t mid = lo + (hi - lo) / 2;
		if (staged[mid].offset <= at)
			lo = mid;
		else
			hi = mid;
	}
	return &staged[lo];
}

void clear_queue(int fd)
{
	send_queue_init(&server.slots[fd].queue);
	if (client_has(fd, CLIENT_QUEUED)) {
		server.slots[fd].flags &= (uint8_t)~CLIENT_QUEUED;
		queued_count--;
	}
}

// fd's send failed with err: logged as the packet it failed in, then nothing more for fd.
void fail_queued(int fd, int err)
{
	const StagedRecord *rec = record_at(&server.slots[fd].queue);
	errno = err;
	log_send_failure(rec->what, rec->from, fd);
	clear_queue(fd);
	server.slots[fd].flags |= CLIENT_FAILED;
}

// Sends fd what it is owed without waiting: 1 when all has gone, 0 when the socket is full,
// -1 with errno on an error.
int send_queue_step(int fd)
{
	SendQueue *q = &server.slots[fd].queue;
	for (;;) {
		struct iovec iov[SEND_QUEUE_RANGES];
		int n = 0;
		size_t skip = q->sent;
		for (int r = 0; r < q->ranges; r++) {
			if (skip >= q->size[r]) {
				skip -= q->size[r];
				continue;
			}
			unsigned char *base = q->source[r] == 0 ? outbox : held[q->source[r] - 1].bytes;
			iov[n].iov_base = base + q->start[r] + skip;
			iov[n].iov_len = q->size[r] - skip;
			skip = 0;
			n++;
		}
		if (n == 0)
			return 1;
		struct msghdr msg = {};
		msg.msg_iov = iov;
		msg.msg_iovlen = (size_t)n;
		ssize_t w = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (w > 0) {
			q->sent += (size_t)w;
			continue;
		}
		if (w == 0) {
			errno = EPIPE;
			return -1;
		}
		if (errno == EINTR)
			continue;
		return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
	}
}

// One send step for fd, then its queue emptied when all went or it failed; true when fd still
// waits for room.
bool send_and_settle(int fd)
{
	int r = send_queue_step(fd);
	if (r > 0)
		clear_queue(fd);
	else if (r < 0)
		fail_queued(fd, errno);
	return r == 0;
}

// Sends each of fds its queue: all take what they can at once, then those still owed bytes
// are waited for together, one send time-out in all from the first that had to wait.
void flush_clients(const int *fds, int count)
{
	int n = 0;
	for (int i = 0; i < count; i++)
		if (send_and_settle(fds[i]))
			waiting[n++] = {fds[i], POLLOUT, 0};
	int64_t deadline = monotonic_ms() + (int64_t)SERVER_IO_TIMEOUT_SECONDS * 1000;
	while (n > 0) {
		int64_t left = deadline - monotonic_ms();
		int p = left > 0 ? poll(waiting, (nfds_t)n, (int)left) : 0;
		if (p < 0 && errno == EINTR)
			continue;
		if (p <= 0) {
			// Out of time (or poll itself failed): nobody still waiting gets more.
			int err = p == 0 ? EAGAIN : errno;
			for (int i = 0; i < n; i++)
				fail_queued(waiting[i].fd, err);
			return;
		}
		int kept = 0;
		for (int i = 0; i < n; i++) {
			int fd = waiting[i].fd;
			if (waiting[i].revents == 0 || send_and_settle(fd))
				waiting[kept++] = {fd, POLLOUT, 0};
		}
		n = kept;
	}
}

void flush_one(int fd)
{
	flush_clients(&fd, 1);
}

void outbox_reset()
{
	outbox_used = 0;
	staged_count = 0;
	for (size_t i = 0; i < held_count; i++)
		free(held[i].bytes);
	held_count = 0;
	held_bytes = 0;
	outbox_generation++;
	if (outbox_generation == 0)
		outbox_generation = 1;
}

// Copies a packet too big for the outbox into a block of its own, after sending what is queued
// when the held packets are full. False when there is no memory for it.
bool hold_packet(const void *packet, size_t size, SendWhat what, int from, StagedPacket *out)
{
	if (held_count == HELD_PACKETS || HELD_BYTES - held_bytes < size)
		flush_send_queues();
	auto *copy = static_cast<unsigned char *>(malloc(size));
	if (copy == nullptr)
		return false;
	memcpy(copy, packet, size);
	HeldPacket *h = &held[held_count++];
	h->bytes = copy;
	h->record = {0, what, from};
	held_bytes += size;
	out->source = (uint16_t)held_count;
	out->generation = outbox_generation;
	return true;
}

// Writes a packet that is neither in the outbox nor held straight to fd, after what fd is owed.
void send_direct(int fd, const StagedPacket *packet)
{
	if (client_has(fd, CLIENT_QUEUED))
		flush_one(fd);
	if (client_has(fd, CLIENT_FAILED))
		return;
	if (send_within_timeout(fd, packet->bytes, packet->size) < 0) {
		log_send_failure(packet->what, packet->from, fd);
		server.slots[fd].flags |= CLIENT_FAILED;
	}
}

// Whether fd's queue can take packet: a free range, or its last range ends where packet begins.
bool queue_has_room(int fd, const StagedPacket *packet)
{
	const SendQueue *q = &server.slots[fd].queue;
	if (q->ranges < SEND_QUEUE_RANGES)
		return true;
	int last = q->ranges - 1;
	return packet->source == 0 && q->source[last] == 0 && q->start[last] + q->size[last] == packet->offset;
}

// Sends fd what its socket takes now and forgets the ranges that went; when none did, sends
// everybody's queue, all waited for together.
void make_room(int fd)
{
	SendQueue *q = &server.slots[fd].queue;
	int r = send_queue_step(fd);
	if (r > 0) {
		clear_queue(fd);
		return;
	}
	if (r < 0) {
		fail_queued(fd, errno);
		return;
	}
	int done = 0;
	while (done < q->ranges && q->sent >= q->size[done]) {
		q->sent -= q->size[done];
		done++;
	}
	for (int i = done; i < q->ranges; i++) {
		q->start[i - done] = q->start[i];
		q->size[i - done] = q->size[i];
		q->source[i - done] = q->source[i];
	}
	q->ranges -= done;
	if (done == 0)
		flush_send_queues();
}

// Queues a staged packet for fd, joined to its last range when it follows it in the outbox.
void queue_range(int fd, const StagedPacket *packet)
{
	SendQueue *q = &server.slots[fd].queue;
	int last = q->ranges - 1;
	if (last >= 0 && packet->source == 0 && q->source[last] == 0 &&
	    q->start[last] + q->size[last] == packet->offset) {
		q->size[last] += (uint32_t)packet->size;
		return;
	}
	q->start[q->ranges] = packet->offset;
	q->size[q->ranges] = (uint32_t)packet->size;
	q->source[q->ranges] = packet->source;
	q->ranges++;
	if (!client_has(fd, CLIENT_QUEUED)) {
		server.slots[fd].flags |= CLIENT_QUEUED;
		queued_count++;
	}
}

}  // namespace

void send_queue_init(SendQueue *queue)
{
	queue->ranges = 0;
	queue->sent = 0;
}

void stage_packet(const void *packet, size_t size, SendWhat what, int from, StagedPacket *out)
{
	out->bytes = static_cast<const unsigned char *>(packet);
	out->size = size;
	out->offset = 0;
	out->source = 0;
	out->generation = 0;
	out->what = what;
	out->from = from;
	if (DIRECT_SENDS)
		return;
	if (size > OUTBOX_BYTES) {
		// Without memory to hold it, it is written directly to each recipient.
		(void)hold_packet(packet, size, what, from, out);
		return;
	}
	if (OUTBOX_BYTES - outbox_used < size || staged_count == OUTBOX_PACKETS)
		flush_send_queues();
	memcpy(outbox + outbox_used, packet, size);
	staged[staged_count++] = {(uint32_t)outbox_used, what, from};
	out->offset = (uint32_t)outbox_used;
	out->generation = outbox_generation;
	outbox_used += size;
}

void client_send_staged(int fd, StagedPacket *packet)
{
	for (;;) {
		if (client_has(fd, CLIENT_FAILED))
			return;
		// The outbox was emptied since the packet was staged: stage it again.
		if (packet->generation != 0 && packet->generation != outbox_generation)
			stage_packet(packet->bytes, packet->size, packet->what, packet->from, packet);
		if (packet->generation == 0) {
			send_direct(fd, packet);
			return;
		}
		if (queue_has_room(fd, packet))
			break;
		make_room(fd);
	}
	queue_range(fd, packet);
}

void client_send(int fd, const void *packet, size_t size, SendWhat what, int from)
{
	StagedPacket staged_packet;
	stage_packet(packet, size, what, from, &staged_packet);
	client_send_staged(fd, &staged_packet);
}

void flush_send_queues()
{
	int n = 0;
	for (int fd = 0; fd < server.slot_count && n < queued_count; fd++)
		if (client_has(fd, CLIENT_QUEUED))
			flush_fds[n++] = fd;
	flush_clients(flush_fds, n);
	outbox_reset();
}

void settle_send_queue(int fd)
{
	if (client_has(fd, CLIENT_QUEUED) && !client_has(fd, CLIENT_FAILED))
		flush_one(fd);
	clear_queue(fd);
}

int send_queue_reserve(int count)
{
	auto *f = static_cast<int *>(realloc(flush_fds, sizeof *flush_fds * (size_t)count));
	if (f != nullptr)
		flush_fds = f;
	auto *w = static_cast<struct pollfd *>(realloc(waiting, sizeof *waiting * (size_t)count));
	if (w != nullptr)
		waiting = w;
	// A block that could not shrink is merely larger than the room.
	if (count > flush_room && (f == nullptr || w == nullptr))
		return -1;
	flush_room = count;
	return 0;
}
