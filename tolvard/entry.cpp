#include "tolvard/entry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "api/api-frontend.h"
#include "cli/cli-frontend.h"
#include "client/session.h"
#include "common/i18n.h"
#include "server/server.h"

namespace {

// The frontends, by the command word that the SSH client asked for.
struct SessionModeRow {
	const char *word;
	const FrontendOps *ops;
};

const SessionModeRow session_modes[] = {
	{"cli", &cli_frontend_ops},	// also when no command was asked for
	{"api", &api_frontend_ops},
	{"log", &log_frontend_ops},
	{nullptr, nullptr},
};

// The row of command (nullptr: cli); nullptr for any other word. Whole, case-sensitive.
const SessionModeRow *find_session_mode(const char *command)
{
	if (command == nullptr)
		return &session_modes[0];
	for (const SessionModeRow *row = session_modes; row->word != nullptr; row++) {
		if (strcmp(command, row->word) == 0)
			return row;
	}
	return nullptr;
}

int run_client_session(const struct sockaddr_un *addr, const char *user_name)
{
	pid_t parent_pid = getppid();
	if (client_check_environment(user_name) < 0)
		return 1;
	const char *command = getenv("SSH_ORIGINAL_COMMAND");
	const SessionModeRow *mode = find_session_mode(command);
	if (mode == nullptr) {
		fprintf(stderr, _("Command '%s' is not recognized\n"), command);
		return 1;
	}
	return client_mode(addr, user_name, parent_pid, mode->word, mode->ops);
}

}  // namespace

int build_socket_address(const char *home, struct sockaddr_un *addr)
{
	size_t len = strlen(home);
	if (len > TOLVAR_HOME_MAX)
		return -1;
	memset(addr, 0, sizeof *addr);
	addr->sun_family = AF_UNIX;
	memcpy(addr->sun_path, home, len);
	addr->sun_path[len] = '/';
	memcpy(addr->sun_path + len + 1, TOLVAR_SOCKET_NAME, sizeof TOLVAR_SOCKET_NAME);
	return 0;
}

int tolvard_main(int argc, char **argv)
{
	const char *prog = argc > 0 && argv[0] != nullptr ? argv[0] : "tolvard";

	uid_t euid = geteuid();
	if (euid == 0) {
		fprintf(stderr, _("%s: This program shouldn't be run under effective root\n"), prog);
		return 1;
	}
	uid_t uid = getuid();
	if (uid != euid) {
		fprintf(stderr, _("%s: Real user ID (%u) does not equal to effective user ID (%u)\n"), prog,
			(unsigned int)uid, (unsigned int)euid);
		return 1;
	}
	errno = 0;
	struct passwd *pw = getpwuid(uid);
	if (pw == nullptr) {
		if (errno == 0)
			errno = ENOENT;	// no entry at all is not "Success"
		perror("getpwuid");
		return 1;
	}
	const char *home = getenv("HOME");
	if (home == nullptr) {
		fprintf(stderr, _("%s: HOME not set\n"), prog);
		return 1;
	}
	if (strcmp(home, pw->pw_dir) != 0) {
		fprintf(stderr, _("%s: HOME=\"%s\" does not equal to \"%s\"\n"), prog, home, pw->pw_dir);
		return 1;
	}
	struct sockaddr_un addr;
	if (build_socket_address(home, &addr) < 0) {
		fprintf(stderr, _("home path too long (%zu bytes)\n"), strlen(home));
		return 1;
	}
	if (chdir(home) < 0) {
		perror(home);
		return 1;
	}
	if (argc == 3 && strcmp(argv[1], "-c") == 0)
		return run_client_session(&addr, argv[2]);
	if (argc == 1)
		return server_mode(&addr);
	fprintf(stderr, _("Usage: %s [-c <user-name>]\n"), prog);
	return 255;
}
