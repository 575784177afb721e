#include "admin/key-lock.h"

#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "common/i18n.h"

int key_file_lock(void)
{
	int fd = open(KEY_LOCK_PATH, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
	if (fd < 0)
		return -1;
	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return fd;
	if (errno == EWOULDBLOCK) {
		fputs(_("Waiting for another run of tolvaradm to finish with .ssh/authorized_keys\n"), stderr);
		int r;
		do
			r = flock(fd, LOCK_EX);
		while (r < 0 && errno == EINTR);
		if (r == 0)
			return fd;
	}
	int e = errno;
	close(fd);
	errno = e;
	return -1;
}
