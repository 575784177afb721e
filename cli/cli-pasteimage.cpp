// /pasteimage: the clipboard's JPEG image, as xclip prints it, sent to one user.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli-commands.h"
#include "client/requests.h"
#include "common/file-helpers.h"
#include "common/i18n.h"
#include "protocol/local-protocol.h"

namespace {

constexpr size_t IMAGE_CHUNK = 262144;
constexpr size_t IMAGE_BUFFER_MAX = 1048576;	// header room and image together
constexpr size_t IMAGE_STEP = MESSAGE_RECORD_FIXED_SIZE + IMAGE_CHUNK;

enum Collection { COLLECTED, ABANDONED };

// Reads the child's output into *buffer (header room of 80 bytes, then the image).
Collection collect_image(int fd, unsigned char **buffer, size_t *received)
{
	for (;;) {
		auto *grown = static_cast<unsigned char *>(realloc(*buffer, *received + IMAGE_STEP));
		if (grown == nullptr) {
			fputs(_("Failed to receive image, out of memory\n"), stderr);
			return ABANDONED;
		}
		*buffer = grown;
		int32_t n = read_fully(fd, grown + MESSAGE_RECORD_FIXED_SIZE + *received, IMAGE_CHUNK);
		if (n < 0) {
			perror("read");
			return ABANDONED;
		}
		if (n == 0)
			return COLLECTED;
		*received += (size_t)n;
		if (*received + IMAGE_STEP > IMAGE_BUFFER_MAX) {
			fputs(_("Image too large\n"), stderr);
			return ABANDONED;
		}
	}
}

}  // namespace

void cli_command_pasteimage(int server_fd, int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, _("Usage: %s <user>\n"), argv[0]);
		return;
	}
	int fds[2];
	if (pipe(fds) < 0) {
		perror("pipe");
		return;
	}
	fflush(stdout);
	pid_t pid = fork();
	if (pid < 0) {
		perror("fork");
		close(fds[0]);
		close(fds[1]);
		return;
	}
	if (pid == 0) {
		close(fds[0]);
		close(server_fd);
		close(1);
		if (dup2(fds[1], 1) < 0) {
			perror("dup2");
			_exit(1);
		}
		if (fds[1] != 1)
			close(fds[1]);
		execlp("xclip", "xclip", "-o", "-selection", "clipboard", "-target", "image/jpeg", "-verbose",
		       (char *)nullptr);
		perror("xclip");
		_exit(127);
	}
	close(fds[1]);
	unsigned char *buffer = nullptr;
	size_t received = 0;
	Collection c = collect_image(fds[0], &buffer, &received);
	if (c == ABANDONED)
		kill(pid, SIGKILL);
	close(fds[0]);
	int status;
	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR) {
			perror("waitpid");
			free(buffer);
			return;
		}
	}
	if (WIFSIGNALED(status))
		fprintf(stderr, _("child process terminated by signal %d\n"), WTERMSIG(status));
	if (c == COLLECTED && status == 0) {
		auto *record = reinterpret_cast<MessageRecord *>(buffer);
		memset(record, 0, sizeof *record);	// the server fills in the sender
		local_copy_name(record->to_user, sizeof record->to_user, argv[1], LOCAL_NAME_FIELD - 1);
		record->kind = MESSAGE_KIND_IMAGE;
		record->text_length = received;
		client_post_message(server_fd, record);
	}
	free(buffer);
}
