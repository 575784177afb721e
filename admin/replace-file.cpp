#include "admin/replace-file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int replacement_begin(Replacement *r, const char *target)
{
	r->target = target;
	int n = snprintf(r->temp, sizeof r->temp, "%s.XXXXXX", target);
	if (n < 0 || (size_t)n >= sizeof r->temp) {
		r->temp[0] = '\0';
		errno = ENAMETOOLONG;
		return -1;
	}
	// mkostemp creates the file exclusively, so it never opens through a link either.
	int fd = mkostemp(r->temp, O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0) {
		r->temp[0] = '\0';
		return -1;
	}
	// The target itself: a link in its place is replaced, and what it points to lends nothing.
	struct stat st;
	if (lstat(target, &st) == 0 && S_ISREG(st.st_mode)) {
		if (fchmod(fd, st.st_mode & 07777) < 0) {
			int e = errno;
			close(fd);
			unlink(r->temp);
			r->temp[0] = '\0';
			errno = e;
			return -1;
		}
		if (st.st_gid != getegid() && fchown(fd, (uid_t)-1, st.st_gid) < 0) {
			// Not a member of that group: the file keeps the process's group.
		}
	}
	r->f = fdopen(fd, "w+");
	if (r->f == nullptr) {
		int e = errno;
		close(fd);
		unlink(r->temp);
		r->temp[0] = '\0';
		errno = e;
		return -1;
	}
	return 0;
}

int replacement_commit(Replacement *r)
{
	int failed = fflush(r->f) != 0 || ferror(r->f) || fsync(fileno(r->f)) < 0;
	int e = errno;
	if (fclose(r->f) != 0 && !failed) {
		failed = 1;
		e = errno;
	}
	r->f = nullptr;
	if (!failed && rename(r->temp, r->target) < 0) {
		failed = 1;
		e = errno;
	}
	if (failed) {
		unlink(r->temp);
		r->temp[0] = '\0';
		errno = e;
		return -1;
	}
	r->temp[0] = '\0';
	return 0;
}

void replacement_abort(Replacement *r)
{
	int e = errno;
	if (r->f != nullptr) {
		fclose(r->f);
		r->f = nullptr;
	}
	if (r->temp[0] != '\0') {
		unlink(r->temp);
		r->temp[0] = '\0';
	}
	errno = e;
}
