// getmotd: prints the message of the day.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/motd.h"
#include "common/file-helpers.h"
#include "common/holders.h"

int cmd_getmotd(int, char **)
{
	UniqueFd fd(open(MOTD_PATH, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
	if (!fd.valid()) {
		perror(MOTD_PATH);
		return 1;
	}
	char buf[MOTD_BLOCK];
	for (;;) {
		int32_t n = read_fully(fd.get(), buf, sizeof buf);
		if (n < 0) {
			perror("read");
			return 1;
		}
		if (n == 0)
			return 0;
		int32_t w = write_fully(STDOUT_FILENO, buf, (size_t)n);
		if (w != n) {
			if (w >= 0)
				errno = EIO;	// a write that accepted nothing
			perror("write");
			return 1;
		}
	}
}
