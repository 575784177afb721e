#include "admin/server-channel.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "admin/admin.h"
#include "common/file-helpers.h"
#include "common/i18n.h"

namespace {

constexpr const char SOCKET_PATH[] = "socket";
// How long the server may take to answer: a kick waits for the kicked sessions' sends.
constexpr int ANSWER_TIMEOUT_SECONDS = 30;

}  // namespace

int server_channel_open(void)
{
	UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
	if (!fd.valid()) {
		perror("socket");
		return -1;
	}
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, SOCKET_PATH, sizeof SOCKET_PATH);
	int r;
	do
		r = connect(fd.get(), reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
	while (r < 0 && errno == EINTR);
	if (r < 0) {
		// No socket file, or one that nobody listens on any longer.
		if (errno == ENOENT || errno == ECONNREFUSED)
			return SERVER_CHANNEL_ABSENT;
		perror(SOCKET_PATH);
		return -1;
	}
	struct timeval tv = {ANSWER_TIMEOUT_SECONDS, 0};
	if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
		perror("setsockopt");
		return -1;
	}
	return fd.release();
}

int server_channel_open_or_say(void)
{
	int fd = server_channel_open();
	if (fd == SERVER_CHANNEL_ABSENT) {
		fputs(_("The chat server is not running\n"), stderr);
		return -1;
	}
	return fd;
}

int server_channel_ask(int fd, AdminRequest request, int32_t answer_type, ServerAnswer *answer)
{
	request.admin_uid = (uint32_t)admin_uid;
	size_t size = 0;
	MallocPtr<unsigned char> packet(admin_build_request(request, &size));
	if (packet == nullptr) {
		perror("admin_build_request");
		return -1;
	}
	int32_t w = write_fully(fd, packet.get(), size);
	if (w < 0 || (size_t)w < size) {
		if (w >= 0)
			errno = EPIPE;
		perror(SOCKET_PATH);
		return -1;
	}
	packet.reset();

	LocalPacketReader reader;
	local_packet_reader_init(&reader);
	GetPacketOut out = {nullptr, 0};
	int r;
	do
		r = get_local_packet(fd, &out, &reader);
	while (r == GET_PACKET_INCOMPLETE);
	if (r != GET_PACKET_OK) {
		if (r == GET_PACKET_READ_ERROR && (errno == EAGAIN || errno == EWOULDBLOCK))
			fputs(_("The chat server did not answer\n"), stderr);
		else if (r == GET_PACKET_READ_ERROR)
			perror(SOCKET_PATH);
		else
			fputs(_("The chat server closed the connection\n"), stderr);
		return -1;
	}
	answer->packet.reset(out.packet);
	int32_t result = 0;
	if (local_packet_open(answer->packet.get(), &answer->view) < 0) {
		fputs(_("Malformed answer from the chat server\n"), stderr);
		return -1;
	}
	// A server joined to others answers who with the server of each session.
	if (answer->view.type == answer_type ||
	    (answer_type == LOCAL_PACKET_ADMIN_SESSIONS && answer->view.type == LOCAL_PACKET_ADMIN_SERVER_SESSIONS))
		return 0;
	if (admin_parse_result(answer->view, &result) == 0 && result < 0) {
		if (result == -EPERM)
			fputs(_("The chat server refused the request\n"), stderr);
		else
			fprintf(stderr, _("The chat server failed: %s\n"), strerror(-result));
		return -1;
	}
	fprintf(stderr, _("Unexpected answer of type %d from the chat server\n"), (int)answer->view.type);
	return -1;
}

int server_channel_request(const AdminRequest &request, int32_t answer_type, ServerAnswer *answer)
{
	UniqueFd fd(server_channel_open_or_say());
	if (!fd.valid())
		return -1;
	return server_channel_ask(fd.get(), request, answer_type, answer);
}

int server_channel_sessions(ServerAnswer *answer, AdminListView *list)
{
	AdminRequest request = {LOCAL_PACKET_ADMIN_WHO, 0, {}, {}, 0};
	if (server_channel_request(request, LOCAL_PACKET_ADMIN_SESSIONS, answer) < 0)
		return -1;
	bool whole = admin_parse_sessions(answer->view, list) == 0;
	for (uint32_t i = 0; whole && i < list->count; i++) {
		SessionEntry e;
		whole = admin_session_entry(*list, i, &e) == 0;
	}
	if (!whole) {
		fputs(_("Malformed answer from the chat server\n"), stderr);
		return -1;
	}
	return 0;
}
