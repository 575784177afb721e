// The readiness wait on epoll. Its report has room for every watched descriptor, so one wait
// reports all that are ready, as a scan over all of them would; the room grows and shrinks
// with the number watched.
#include "server/readiness.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/epoll.h>

namespace {

constexpr int MIN_ROOM = 64;

int epoll_fd = -1;
int watched;
int room;			// entries of events: at least as many as are watched
struct epoll_event *events;	// owned
// The ready descriptors of the last wait, which the loop still reads while it accepts and
// closes: moved only at the next wait.
int *ready_fds;			// owned
int ready_room;

// Gives events room for count entries. False when there is no memory for it.
bool resize_room(int count)
{
	auto *e = static_cast<struct epoll_event *>(realloc(events, sizeof *events * (size_t)count));
	if (e == nullptr)
		return false;
	events = e;
	room = count;
	return true;
}

}  // namespace

int readiness_open()
{
	epoll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (epoll_fd < 0)
		return -1;
	if (!resize_room(MIN_ROOM)) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

int readiness_watch(int fd)
{
	if (watched == room && !resize_room(room * 2)) {
		errno = ENOMEM;
		return -1;
	}
	struct epoll_event ev = {};
	ev.events = EPOLLIN;
	ev.data.fd = fd;
	if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) < 0)
		return -1;
	watched++;
	return 0;
}

void readiness_forget(int fd)
{
	if (epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr) < 0)
		return;
	watched--;
	// Halved only well below the room, so that a count going up and down by one does not
	// reallocate each time; a failed shrink keeps the larger room.
	if (room > MIN_ROOM && watched < room / 4)
		(void)resize_room(std::max(MIN_ROOM, room / 2));
}

int readiness_wait(const int **ready, int timeout_ms)
{
	if (ready_room != room) {
		auto *r = static_cast<int *>(realloc(ready_fds, sizeof *ready_fds * (size_t)room));
		if (r != nullptr) {
			ready_fds = r;
			ready_room = room;
		}
	}
	// Without memory for all, what does not fit is reported by the next wait.
	int n = epoll_wait(epoll_fd, events, std::min(room, ready_room), timeout_ms);
	if (n < 0)
		return -1;
	for (int i = 0; i < n; i++)
		ready_fds[i] = events[i].data.fd;
	std::sort(ready_fds, ready_fds + n);
	*ready = ready_fds;
	return n;
}
