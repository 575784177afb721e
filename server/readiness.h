// The server's readiness wait over the listening socket and every client connection, on
// Linux's epoll. It knows descriptors only; what a ready one means is the loop's business.
#ifndef TOLVAR_SERVER_READINESS_H
#define TOLVAR_SERVER_READINESS_H

// Creates the wait's instance (a descriptor of its own, closed on exec). -1 with errno.
int readiness_open();
// Watches fd for input from now on. -1 with errno (ENOMEM: no room to report it ready).
int readiness_watch(int fd);
// Stops watching fd; called before fd is closed.
void readiness_forget(int fd);
// Waits until a watched descriptor is readable (or at its end, or in error), or timeout_ms
// have passed (-1: no time-out), and sets *ready to all that are, in ascending order; the
// array is borrowed until the next call. Returns their number (0 after the time-out), or -1
// with errno.
int readiness_wait(const int **ready, int timeout_ms);

#endif
