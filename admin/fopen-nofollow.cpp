#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "admin/admin.h"

namespace {

struct StreamMode {
	const char *mode;
	int flags;
};

const StreamMode stream_modes[] = {
	{"r", O_RDONLY},
	{"r+", O_RDWR},
	{"a+", O_RDWR | O_CREAT | O_APPEND},
	{nullptr, 0},
};

}  // namespace

FILE *fopen_nofollow(const char *path, const char *mode)
{
	const StreamMode *m = stream_modes;
	while (m->mode != nullptr && strcmp(m->mode, mode) != 0)
		m++;
	if (m->mode == nullptr) {
		errno = EINVAL;
		return nullptr;
	}
	// The permission bits that fopen gives a file it creates.
	int fd = open(path, m->flags | O_NOFOLLOW | O_CLOEXEC, 0666);
	if (fd < 0)
		return nullptr;
	FILE *f = fdopen(fd, mode);
	if (f == nullptr) {
		int e = errno;
		close(fd);
		errno = e;
	}
	return f;
}
