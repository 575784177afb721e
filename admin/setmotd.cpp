// setmotd: replaces the message of the day with a text from the command line or standard
// input, or deletes it.
//
// The new text is written to a temporary file that is renamed over "motd" at the end, so a
// chat user never sees half a text and a failure leaves the old message in place.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/motd.h"
#include "admin/replace-file.h"
#include "common/file-helpers.h"
#include "common/i18n.h"

namespace {

int write_text(int fd, const void *text, size_t len)
{
	int32_t w = write_fully(fd, text, len);
	if (w == (int32_t)len)
		return 0;
	if (w >= 0)
		errno = EIO;	// a write that accepted nothing
	perror("write");
	return -1;
}

// Writes the -m text, ending it with a newline unless it is empty or has one.
int write_option_text(int fd, const char *text)
{
	size_t len = strlen(text);
	if (write_text(fd, text, len) < 0)
		return -1;
	if (len == 0 || text[len - 1] == '\n')
		return 0;
	return write_text(fd, "\n", 1);
}

int copy_standard_input(int fd)
{
	if (isatty(STDIN_FILENO))
		fputs(_("Type message below:\n"), stderr);
	char buf[MOTD_BLOCK];
	for (;;) {
		ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			perror("read");
			return -1;
		}
		if (n == 0)
			return 0;
		if (write_text(fd, buf, (size_t)n) < 0)
			return -1;
	}
}

}  // namespace

int cmd_setmotd(int argc, char **argv)
{
	bool remove = false;
	const char *text = nullptr;
	int opt;
	while ((opt = getopt(argc, argv, "+m:dh")) != -1) {
		switch (opt) {
		case 'd':
			remove = true;
			break;
		case 'm':
			text = optarg;
			break;
		case 'h':
			print_usage(argv[0]);
			return 0;
		default:
			print_usage(argv[0]);
			return -1;
		}
	}
	if (remove && text != nullptr) {
		fputs(_("Option '-d' cannot be used together with '-m'\n"), stderr);
		return -1;
	}
	if (remove) {
		if (unlink(MOTD_PATH) < 0) {
			perror(MOTD_PATH);
			return 1;
		}
		return 0;
	}

	Replacement motd;
	if (replacement_begin(&motd, MOTD_PATH) < 0) {
		perror(MOTD_PATH);
		return 1;
	}
	int fd = fileno(motd.f);
	if ((text != nullptr ? write_option_text(fd, text) : copy_standard_input(fd)) < 0) {
		replacement_abort(&motd);
		return 1;
	}
	if (replacement_commit(&motd) < 0) {
		perror(MOTD_PATH);
		return 1;
	}
	return 0;
}
