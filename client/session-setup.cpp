// The first half of a client session: the environment the SSH daemon gives us, the mode, the
// log identity, TZ, the terminal, and the login.
#include "client/session.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/holders.h"
#include "common/i18n.h"
#include "common/user-name.h"
#include "protocol/local-protocol.h"

namespace {

constexpr size_t LOG_IDENT_SIZE = 45;
constexpr size_t HOST_MAX = LOCAL_HOST_FIELD - 1;

// Empties a TZ that could make the C library read a file of the client's choosing. The
// value is emptied before anything is printed or logged: the system log's time stamp would
// otherwise load (and keep) the zone it names.
void sanitize_tz(void)
{
	char *tz = getenv("TZ");
	if (tz == nullptr)
		return;
	bool absolute = tz[0] == '/' || (tz[0] == ':' && tz[1] == '/');
	if (!absolute && strstr(tz, "../") == nullptr)
		return;
	MallocPtr<char> was(strdup(tz));
	tz[0] = '\0';
	const char *shown = was != nullptr ? was.get() : "";
	if (absolute) {
		fputs(_("Ignoring absolute path name in TZ\n"), stderr);
		syslog(LOG_WARNING, "TZ contains absolute path name '%s', ignored", shown);
	} else {
		fputs(_("Ignoring TZ\n"), stderr);
		syslog(LOG_WARNING, "TZ='%s', ignored", shown);
	}
}

// Keeps other accounts off the user's terminal. -1 when the session must not go on.
int protect_terminal(void)
{
	const char *name = ttyname(STDOUT_FILENO);
	if (name == nullptr || strcmp(name, "/dev/tty") == 0)
		return 0;
	struct stat st;
	if (fstat(STDOUT_FILENO, &st) < 0) {
		syslog(LOG_ERR, "Failed to get status of stdout (%s): %s", name, strerror(errno));
		return -1;
	}
	if (st.st_uid != getuid()) {
		syslog(LOG_ERR, "stdout terminal %s isn't owned by me", name);
		return -1;
	}
	if (fchmod(STDOUT_FILENO, 0600) < 0)
		syslog(LOG_WARNING, "Failed to change mode for stdout (%s): %s", name, strerror(errno));
	return 0;
}

// The text after the first dot of LC_CTYPE, or of LANG when LC_CTYPE is not set.
const char *encoding_name(void)
{
	const char *locale = getenv("LC_CTYPE");
	if (locale == nullptr)
		locale = getenv("LANG");
	if (locale == nullptr)
		return "";
	const char *dot = strchr(locale, '.');
	return dot == nullptr ? "" : dot + 1;
}

}  // namespace

int send_login(int server_fd, const char *user_name, const char *host, const char *encoding)
{
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_login(user_name, host, encoding, &size));
	if (packet == nullptr)
		return -1;
	ssize_t w;
	do
		w = write(server_fd, packet.get(), size);
	while (w < 0 && errno == EINTR);
	return w < 0 ? -1 : 0;
}

int client_check_environment(const char *user_name)
{
	if (getenv("SSH_CLIENT") == nullptr) {
		fputs("client mode can only be used in a SSH session\n", stderr);
		return -1;
	}

	setlocale(LC_ALL, "");
	bindtextdomain(TOLVAR_TEXT_DOMAIN, LOCALEDIR);
	textdomain(TOLVAR_TEXT_DOMAIN);

	if (!is_valid_user_name(user_name)) {
		fprintf(stderr, _("Invalid user name '%s'\n"), user_name);
		return -1;
	}
	return 0;
}

int client_mode(const struct sockaddr_un *addr, const char *user_name, pid_t parent_pid,
		const char *mode_word, const FrontendOps *ops)
{
	const char *ssh_client = getenv("SSH_CLIENT");	// checked by client_check_environment
	if (ssh_client == nullptr)
		ssh_client = "";

	// The system log keeps using the identity for the life of the process.
	static char *ident = static_cast<char *>(malloc(LOG_IDENT_SIZE));
	if (ident == nullptr) {
		perror("malloc");
		exit(1);
	}
	snprintf(ident, LOG_IDENT_SIZE, "tolvard:%s:%s", user_name, mode_word);
	openlog(ident, LOG_PID, LOG_DAEMON);

	sanitize_tz();
	if (protect_terminal() < 0)
		return 1;

	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (fd < 0) {
		perror("socket");
		return 1;
	}
	UniqueFd server(fd);
	int r;
	do
		r = connect(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr);
	while (r < 0 && errno == EINTR);
	if (r < 0) {
		perror("connect");
		return 1;
	}

	const char *encoding = encoding_name();

	size_t host_len = strcspn(ssh_client, " ");
	if (host_len == 0) {
		errno = EINVAL;
		perror("send_login");
		return 1;
	}
	if (host_len > HOST_MAX)
		host_len = HOST_MAX;
	char host[HOST_MAX + 1];
	memcpy(host, ssh_client, host_len);
	host[host_len] = '\0';

	if (strlen(encoding) > LOCAL_ENCODING_MAX) {
		syslog(LOG_WARNING, "Text encoding name '%s' too long", encoding);
		encoding = "";
	}

	if (send_login(fd, user_name, host, encoding) < 0) {
		perror("send_login");
		return 1;
	}

	return client_session_loop(ops, parent_pid, server.release(), user_name);
}
