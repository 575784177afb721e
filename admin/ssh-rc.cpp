#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "admin/admin.h"
#include "common/i18n.h"

int check_ssh_rc(void)
{
	struct stat st;
	if (lstat(".ssh/rc", &st) < 0) {
		if (errno == ENOENT)
			return 0;
		perror(".ssh/rc");
		return -1;
	}
	if (S_ISDIR(st.st_mode)) {
		fputs(_("'.ssh/rc' exists, and it is a directory!\n"), stderr);
		return -1;
	}
	fputs(_("tolvar shouldn't have a SSH RC file '.ssh/rc'; removing\n"), stderr);
	if (unlink(".ssh/rc") < 0) {
		perror("unlink: .ssh/rc");
		return -1;
	}
	return 0;
}
