// The second half of a client session: start the frontend, then one readiness wait over the
// server connection and standard input, handing every event to the frontend.
#include "client/session.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/select.h>
#include <syslog.h>
#include <unistd.h>

#include "client/frontend.h"
#include "common/i18n.h"

namespace {

constexpr int TICK_SECONDS = 60;

// Mode log reads nothing: standard input becomes the null device, so that nothing the
// client types can reach the frontend.
int stdin_to_null(void)
{
	close(STDIN_FILENO);
	int fd = open("/dev/null", O_RDONLY);
	if (fd == STDIN_FILENO)
		return 0;
	if (fd >= 0)
		close(fd);
	fputs(_("Cannot open /dev/null for read as fd 0\n"), stderr);
	syslog(LOG_WARNING, "Cannot open /dev/null for read as fd 0");
	return -1;
}

}  // namespace

int client_session_loop(const FrontendOps *ops, pid_t parent_pid, int server_fd, const char *user_name)
{
	fd_set watched;
	FD_ZERO(&watched);
	FD_SET(server_fd, &watched);

	if (ops->do_stdin == nullptr) {
		if (stdin_to_null() < 0)
			return 1;
	} else {
		FD_SET(STDIN_FILENO, &watched);
	}

	ops->init(user_name, server_fd);

	for (;;) {
		// The SSH daemon's process for this connection is gone: we have been re-parented.
		if (getppid() != parent_pid)
			return 0;

		fd_set ready = watched;
		struct timeval timeout = {TICK_SECONDS, 0};
		int n = select(server_fd + 1, &ready, nullptr, nullptr, &timeout);
		if (n < 0) {
			if (errno == EINTR) {
				if (ops->do_after_signal != nullptr)
					ops->do_after_signal();
				continue;
			}
			perror("select");
			return 1;
		}
		if (ops->do_tick != nullptr)
			ops->do_tick();
		if (n == 0)
			continue;
		if (FD_ISSET(server_fd, &ready))
			ops->do_local_packet(server_fd);
		if (FD_ISSET(STDIN_FILENO, &ready))
			ops->do_stdin(server_fd);
	}
}
