// An echo bot: answers every private message with the same text, prefixed by "echo: ".
//
//   tolvar-echo-bot [-v] [-H count] [command [argument...]]
//
// With a command (for example: ssh -T -i bot-key tolvar@chat.example api) the bot runs it
// and talks API over its standard input and output. Without one it talks over its own
// standard input and output, for a caller that has connected them to a session already.
// Messages that already start with "echo: " are not answered, so that two bots cannot keep
// each other busy. With -H it first asks for the last count messages to everybody (API
// version 2) and prints them on standard error. It ends with status 0 when the session ends,
// 1 on errors.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "api/tolvar-api-client.h"

namespace {

constexpr std::string_view ECHO_PREFIX = "echo: ";

bool verbose = false;
uint16_t history_count = 0;	// -H: earlier messages asked for at the start

void note(const char *what, std::string_view detail)
{
	if (verbose)
		fprintf(stderr, "echo-bot: %s %.*s\n", what, (int)detail.size(), detail.data());
}

// Starts argv with pipes on its standard input and output. -1 on failure.
pid_t start_command(char **argv, int *to_session, int *from_session)
{
	int in[2], out[2];
	if (pipe(in) < 0)
		return -1;
	if (pipe(out) < 0) {
		close(in[0]);
		close(in[1]);
		return -1;
	}
	pid_t pid = fork();
	if (pid < 0)
		return -1;
	if (pid == 0) {
		dup2(in[0], STDIN_FILENO);
		dup2(out[1], STDOUT_FILENO);
		close(in[0]);
		close(in[1]);
		close(out[0]);
		close(out[1]);
		execvp(argv[0], argv);
		perror(argv[0]);
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	*to_session = in[1];
	*from_session = out[0];
	return pid;
}

// Answers one message if it is a private one for us. 0, or -1 when the session is gone.
int answer(int out_fd, std::string_view own_name, const tolvarapi::Message &m)
{
	if (m.to != own_name || m.from == own_name)
		return 0;	// to everybody, or our own copy of a message we sent
	if (m.text.substr(0, ECHO_PREFIX.size()) == ECHO_PREFIX)
		return 0;
	note("message from", m.from);
	std::string reply;
	reply.reserve(ECHO_PREFIX.size() + m.text.size());
	reply.append(ECHO_PREFIX).append(m.text);
	if (reply.size() > TOLVAR_API_MAX_REQUEST_LENGTH - 64)
		reply.resize(TOLVAR_API_MAX_REQUEST_LENGTH - 64);
	return tolvarapi::send_message(out_fd, m.from, m.kind, reply) == tolvarapi::OK ? 0 : -1;
}

// The conversation. Returns the exit status.
int converse(int in_fd, int out_fd)
{
	unsigned char *pass_packet = nullptr;
	tolvarapi::Pass pass;
	int r = tolvarapi::handshake(in_fd, out_fd, TOLVAR_API_VERSION, &pass_packet, &pass);
	if (r != tolvarapi::OK) {
		fprintf(stderr, "echo-bot: handshake failed (%d)\n", r);
		return 1;
	}
	std::string own_name(pass.user);
	uint16_t version = pass.version;
	free(pass_packet);
	note("logged in as", own_name);
	if (history_count > 0 && version >= TOLVAR_API_VERSION_HISTORY &&
	    tolvarapi::get_history(out_fd, history_count) != tolvarapi::OK) {
		fprintf(stderr, "echo-bot: asking for the history failed\n");
		return 1;
	}

	for (;;) {
		unsigned char *buf;
		size_t size;
		r = tolvarapi::read_packet(in_fd, tolvarapi::DEFAULT_MAX_LENGTH, &buf, &size);
		if (r == tolvarapi::END)
			return 0;
		if (r != tolvarapi::OK) {
			fprintf(stderr, "echo-bot: read failed (%d)\n", r);
			return 1;
		}
		int status = -1;	// -1: go on
		tolvarapi::Packet p;
		tolvarapi::Message m;
		tolvarapi::Error e;
		tolvarapi::HistoryEnd end;
		if (tolvarapi::open_packet(buf, size, &p) == tolvarapi::OK) {
			if (tolvarapi::parse_history_message(p, &m) == tolvarapi::OK) {
				fprintf(stderr, "echo-bot: earlier %.*s: %.*s\n", (int)m.from.size(), m.from.data(),
					(int)m.text.size(), m.text.data());
			} else if (tolvarapi::parse_history_end(p, &end) == tolvarapi::OK) {
				fprintf(stderr, "echo-bot: %u earlier messages\n", (unsigned int)end.count);
			} else if (tolvarapi::parse_message(p, &m) == tolvarapi::OK) {
				if (answer(out_fd, own_name, m) < 0)
					status = 1;
			} else if (tolvarapi::parse_error(p, &e) == tolvarapi::OK) {
				note("error", e.text);
				if (e.code == TOLVAR_API_ERROR_SERVER_CLOSED)
					status = 0;
				else if (e.code < TOLVAR_API_ERROR_USER_NOT_FOUND)
					status = 1;
			}
		}
		free(buf);
		if (status >= 0)
			return status;
	}
}

}  // namespace

int main(int argc, char **argv)
{
	int first = 1;
	bool bad = false;
	for (; argc > first && argv[first][0] == '-' && strcmp(argv[first], "--") != 0 && !bad; first++) {
		char *end = nullptr;
		if (strcmp(argv[first], "-v") == 0) {
			verbose = true;
		} else if (strcmp(argv[first], "-H") == 0 && argc > first + 1) {
			unsigned long n = strtoul(argv[++first], &end, 10);
			bad = *argv[first] == '\0' || *end != '\0' || n == 0 || n > UINT16_MAX;
			history_count = (uint16_t)n;
		} else {
			bad = true;
		}
	}
	if (bad) {
		fprintf(stderr, "Usage: %s [-v] [-H count] [command [argument...]]\n", argv[0]);
		return 255;
	}
	if (argc > first && strcmp(argv[first], "--") == 0)
		first++;
	signal(SIGPIPE, SIG_IGN);	// a session that went away is a failed write, not our end
	if (argc <= first)
		return converse(STDIN_FILENO, STDOUT_FILENO);

	int to_session, from_session;
	pid_t pid = start_command(argv + first, &to_session, &from_session);
	if (pid < 0) {
		perror("echo-bot: starting the command");
		return 1;
	}
	int status = converse(from_session, to_session);
	close(to_session);	// the session ends at the end of its input
	close(from_session);
	int ws;
	while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
	}
	return status;
}
