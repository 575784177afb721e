// HTML messages rendered by elinks. Its output passes through the same filter as plain text,
// keeping only colour sequences: elinks copies some of a document's bytes (link addresses, for
// one) unchanged into its rendering, escape characters included.
#include <fcntl.h>
#include <poll.h>
#include <readline/readline.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/cli-escape.h"
#include "cli/cli-render.h"
#include "cli/cli-state.h"
#include "common/holders.h"
#include "common/i18n.h"

namespace {

constexpr size_t OUTPUT_CHUNK = 4096;
constexpr size_t CARRY_MAX = 64;	// an unfinished sequence held over to the next chunk

[[noreturn]] void run_elinks(int document_fd, int output_fd, bool colour)
{
	if (cli_state.server_fd > 2)
		close(cli_state.server_fd);
	close(0);
	if (dup2(document_fd, 0) < 0) {
		perror("dup2");
		_exit(1);
	}
	if (document_fd != 0)
		close(document_fd);
	if (dup2(output_fd, 1) < 0) {
		perror("dup2");
		_exit(1);
	}
	if (output_fd != 1)
		close(output_fd);
	execlp("elinks", "elinks", "-force-html", "-dump", "-dump-color-mode", colour ? "1" : "0", "/dev/stdin",
	       (char *)nullptr);
	perror("elinks");
	_exit(1);
}

// Feeds the document to elinks and its filtered rendering to standard output, both at once,
// so that neither side can stall the other. A failed write is reported and the rendering
// still shown.
void exchange(int document_fd, int output_fd, const char *doc, size_t n_doc, bool colour)
{
	SafeTextOptions o = {false, true, false, colour, cli_term_charset(), nullptr, CLI_CONTINUATION_INDENT};
	SafeTextState st;
	unsigned char buf[CARRY_MAX + OUTPUT_CHUNK];
	size_t held = 0, written = 0;
	UniqueFd to_child(document_fd), from_child(output_fd);
	if (n_doc == 0)
		to_child.reset();
	else
		fcntl(to_child.get(), F_SETFL, fcntl(to_child.get(), F_GETFL) | O_NONBLOCK);

	while (from_child.valid() || to_child.valid()) {
		struct pollfd fds[2];
		nfds_t n = 0;
		int output_at = -1, document_at = -1;
		if (from_child.valid()) {
			output_at = (int)n;
			fds[n++] = {from_child.get(), POLLIN, 0};
		}
		if (to_child.valid()) {
			document_at = (int)n;
			fds[n++] = {to_child.get(), POLLOUT, 0};
		}
		if (poll(fds, n, -1) < 0) {
			if (errno == EINTR)
				continue;
			perror("poll");
			return;
		}
		if (document_at >= 0 && fds[document_at].revents != 0) {
			ssize_t w = write(to_child.get(), doc + written, n_doc - written);
			if (w < 0 && errno != EINTR && errno != EAGAIN) {
				perror("write");
				to_child.reset();
			} else if (w > 0 && (written += (size_t)w) == n_doc) {
				to_child.reset();
			}
		}
		if (output_at >= 0 && fds[output_at].revents != 0) {
			ssize_t got = read(from_child.get(), buf + held, OUTPUT_CHUNK);
			if (got < 0 && (errno == EINTR || errno == EAGAIN))
				continue;
			bool end = got <= 0;
			size_t total = held + (got > 0 ? (size_t)got : 0);
			size_t used = cli_write_safe(stdout, buf, total, !end, o, &st);
			held = total - used;
			memmove(buf, buf + used, held);
			if (end)
				from_child.reset();
		}
	}
	fflush(stdout);
}

}  // namespace

void cli_render_html(const char *doc, size_t n, bool colour)
{
	putchar('\n');
	fflush(stdout);
	int document[2], output[2];
	if (pipe2(document, O_CLOEXEC) < 0) {
		perror("pipe");
		return;
	}
	if (pipe2(output, O_CLOEXEC) < 0) {
		perror("pipe");
		close(document[0]);
		close(document[1]);
		return;
	}
	// A child that is gone must cost a "write" report, not the session.
	sigset_t pipe_signal, saved;
	sigemptyset(&pipe_signal);
	sigaddset(&pipe_signal, SIGPIPE);
	sigprocmask(SIG_BLOCK, &pipe_signal, &saved);

	pid_t pid = fork();
	if (pid < 0) {
		perror("fork");
		close(document[0]);
		close(document[1]);
		close(output[0]);
		close(output[1]);
		sigprocmask(SIG_SETMASK, &saved, nullptr);
		return;
	}
	if (pid == 0) {
		sigprocmask(SIG_SETMASK, &saved, nullptr);
		run_elinks(document[0], output[1], colour);
	}
	close(document[0]);
	close(output[1]);
	exchange(document[1], output[0], doc, n, colour);

	struct timespec no_wait = {0, 0};
	while (sigtimedwait(&pipe_signal, nullptr, &no_wait) == SIGPIPE) {
	}
	sigprocmask(SIG_SETMASK, &saved, nullptr);

	int status;
	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR) {
			perror("waitpid");
			return;
		}
	}
	if (colour) {
		fputs("\033[0m", stdout);
		fflush(stdout);
	}
	if (WIFSIGNALED(status))
		fprintf(stderr, _("child process terminated by signal %d\n"), WTERMSIG(status));
	if (cli_state.use_readline) {
		rl_reset_line_state();
		rl_redisplay();
	}
}
