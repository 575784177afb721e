#include "client/motd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "common/file-helpers.h"

int32_t client_read_motd(char *buf, size_t size)
{
	int fd = open("motd", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return MOTD_OPEN_FAILED;
	int32_t n = read_fully(fd, buf, size);
	int saved = errno;
	close(fd);
	errno = saved;
	return n < 0 ? MOTD_READ_FAILED : n;
}
