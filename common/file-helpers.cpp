#include "common/file-helpers.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <unistd.h>

int32_t fgetline(FILE *f, char *buf, size_t size)
{
	size_t capacity = size > INT32_MAX ? (size_t)INT32_MAX : size;
	size_t stored = 0;
	for (;;) {
		int c = getc(f);
		if (c == EOF) {
			if (stored == 0)
				return -1;
			break;
		}
		if (c == '\n')
			break;
		if (stored + 1 >= capacity)
			return -2;	// c is consumed and dropped; the rest stays
		buf[stored++] = (char)c;
	}
	buf[stored] = '\0';
	return (int32_t)stored;
}

int fbackwardoverwrite(FILE *f, size_t n)
{
	char block[1024];
	long read_point = ftell(f);
	if (read_point < 0)
		return -1;
	size_t p = (size_t)read_point;
	if (n > p)
		n = p;
	size_t overwrite_start = p - n;
	size_t ss = 0;	// bytes moved so far

	for (;;) {
		size_t items = fread(block, sizeof block, 1, f);
		long after = ftell(f);
		if (after < 0)
			return -1;
		size_t obtained = ((size_t)after - p) - ss;
		if (items == 0 && ferror(f))
			return -1;
		if (fseek(f, (long)(overwrite_start + ss), SEEK_SET) != 0)
			return -1;
		if (obtained == 0)
			break;
		if (fwrite(block, 1, obtained, f) != obtained)
			return -1;
		ss += obtained;
		if (obtained < sizeof block)
			break;
		// A failed return to the read point must not cut off what was not moved yet.
		if (fseek(f, (long)(p + ss), SEEK_SET) != 0)
			return -1;
	}
	if (ferror(f))
		return -1;
	clearerr(f);
	if (fflush(f) != 0)
		return -1;
	assert((size_t)ftell(f) == (size_t)overwrite_start + ss);
	if (ftruncate(fileno(f), ftell(f)) != 0)
		return -1;
	return fseek(f, (long)overwrite_start, SEEK_SET) == 0 ? 0 : -1;
}

int32_t read_fully(int fd, void *buf, size_t count)
{
	char *p = static_cast<char *>(buf);
	size_t done = 0;
	do {
		ssize_t r = read(fd, p + done, count - done);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		if (r == 0)
			break;
		done += (size_t)r;
	} while (done < count);
	return (int32_t)done;
}

int32_t write_fully(int fd, const void *buf, size_t count)
{
	const char *p = static_cast<const char *>(buf);
	size_t done = 0;
	do {
		ssize_t r = write(fd, p + done, count - done);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		if (r == 0)
			break;
		done += (size_t)r;
	} while (done < count);
	return (int32_t)done;
}
