// The administrator's requests: accepted only on a connection that has not logged in as a
// chat user and whose peer is root or the server's own account; answered on that connection.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/holders.h"
#include "protocol/bus-protocol.h"
#include "server/bus.h"
#include "server/server-internal.h"

namespace {

const char *request_name(int32_t type)
{
	switch (type) {
	case LOCAL_PACKET_ADMIN_WHO:
		return "who";
	case LOCAL_PACKET_ADMIN_KICK:
		return "kick";
	case LOCAL_PACKET_ADMIN_MUTE:
		return "mute";
	case LOCAL_PACKET_ADMIN_UNMUTE:
		return "unmute";
	case LOCAL_PACKET_ADMIN_LIST_MUTES:
		return "list-mutes";
	default:
		return "stats";
	}
}

void answer(int fd, unsigned char *packet, size_t size)
{
	MallocPtr<unsigned char> holder(packet);
	if (packet == nullptr) {
		syslog(LOG_ERR, "admin answer: out of memory");
		return;
	}
	client_send(fd, packet, size, SEND_ADMIN_ANSWER, fd);
}

void answer_result(int fd, int32_t result)
{
	size_t size = 0;
	unsigned char *packet = admin_build_result(result, &size);
	answer(fd, packet, size);
}

// Parses a request on fd and decides whether it may be served. Returns 1 to serve it, 0 when
// it was refused (logged; a peer that has not logged in is told), -1 when it is malformed.
// *peer gets the uid of the connection's peer.
int open_request(int fd, const LocalPacketView &packet, AdminRequest *request, uid_t *peer)
{
	if (admin_parse_request(packet, request) < 0)
		return -1;
	const char *name = request_name(request->type);
	const ClientSlot *slot = &server.slots[fd];
	if (slot->user[0] != '\0') {
		syslog(LOG_WARNING, "client fd %d admin request %s refused: logged in as %s", fd, name, slot->user);
		return 0;
	}
	struct ucred cred = {};
	socklen_t len = sizeof cred;
	if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) {
		syslog_perror("client fd %d admin request %s: SO_PEERCRED", fd, name);
		answer_result(fd, -EPERM);
		return 0;
	}
	if (cred.uid != 0 && cred.uid != geteuid()) {
		syslog(LOG_WARNING, "client fd %d admin request %s refused: peer uid %u", fd, name, (unsigned int)cred.uid);
		answer_result(fd, -EPERM);
		return 0;
	}
	*peer = cred.uid;
	return 1;
}

// The user named in a request, as a C string.
struct RequestUser {
	char name[LOCAL_NAME_FIELD];
	explicit RequestUser(const AdminRequest &r) { local_copy_name(name, sizeof name, r.user, LOCAL_NAME_FIELD - 1); }
};

}  // namespace

int kick_user(const char *user, std::string_view message)
{
	int ended = 0;
	for (int i = 0; i <= server.highest_fd; i++) {
		if (!client_has(i, CLIENT_CONNECTED) || strcmp(server.slots[i].user, user) != 0)
			continue;
		size_t size = 0;
		MallocPtr<unsigned char> notice(notice_build_kicked(message, &size));
		if (notice != nullptr)
			client_send(i, notice.get(), size, SEND_NOTICE, i);
		else
			syslog(LOG_ERR, "send_notice: out of memory");
		close_client(i);
		ended++;
	}
	stats_add(COUNTER_KICKS, (uint64_t)ended);
	return ended;
}

int handle_admin_who(int fd, unsigned char *, const LocalPacketView &packet)
{
	AdminRequest request;
	uid_t peer;
	int r = open_request(fd, packet, &request, &peer);
	if (r <= 0)
		return r;
	uint32_t n = 0;
	for (int i = 0; i <= server.highest_fd; i++)
		if (client_has(i, CLIENT_CONNECTED) && server.slots[i].user[0] != '\0')
			n++;
	uint32_t remote = cluster_session_count();
	n += remote;
	if (n > ADMIN_SESSIONS_MAX) {
		syslog(LOG_WARNING, "admin who: %u sessions, the first %u listed", (unsigned int)n,
		       (unsigned int)ADMIN_SESSIONS_MAX);
		n = ADMIN_SESSIONS_MAX;
	}
	bool with_server = cluster_active();
	size_t size = 0;
	MallocPtr<unsigned char> list(admin_build_sessions(n, with_server, &size));
	MallocPtr<ClusterSession> others(static_cast<ClusterSession *>(malloc(sizeof(ClusterSession) * (remote + 1))));
	if (list == nullptr || others == nullptr) {
		syslog(LOG_ERR, "admin who: out of memory");
		return 0;
	}
	const char *here = with_server ? bus_server_name() : "";
	uint32_t index = 0;
	for (int i = 0; i <= server.highest_fd && index < n; i++) {
		const ClientSlot *s = &server.slots[i];
		if (!client_has(i, CLIENT_CONNECTED) || s->user[0] == '\0')
			continue;
		SessionEntry e = {i, s->user, s->host, s->encoding != nullptr ? s->encoding : "",
				  (int64_t)s->activity.since, (int64_t)s->activity.last_post, s->activity.posts, here};
		admin_set_session(list.get(), index++, e);
	}
	// What other servers tell of their sessions: who, from where, and since when.
	remote = cluster_list_sessions(others.get(), n - index);
	for (uint32_t k = 0; k < remote; k++) {
		const ClusterSession &c = others.get()[k];
		SessionEntry e = {c.id, c.user, c.host, "", c.since, c.since, 0, c.server};
		admin_set_session(list.get(), index++, e);
	}
	client_send(fd, list.get(), size, SEND_ADMIN_ANSWER, fd);
	return 0;
}

int handle_admin_kick(int fd, unsigned char *, const LocalPacketView &packet)
{
	AdminRequest request;
	uid_t peer;
	int r = open_request(fd, packet, &request, &peer);
	if (r <= 0)
		return r;
	RequestUser user(request);
	// Sessions on other servers end there; they count among those ended.
	int elsewhere = (int)cluster_user_sessions(user.name);
	cluster_action(BUS_KICK, request.admin_uid, user.name, request.message, 0);
	int ended = kick_user(user.name, request.message) + elsewhere;
	syslog(LOG_NOTICE, "user %s kicked by uid %u (peer uid %u): %d sessions ended", user.name,
	       (unsigned int)request.admin_uid, (unsigned int)peer, ended);
	answer_result(fd, ended);
	return 0;
}

int handle_admin_mute(int fd, unsigned char *, const LocalPacketView &packet)
{
	AdminRequest request;
	uid_t peer;
	int r = open_request(fd, packet, &request, &peer);
	if (r <= 0)
		return r;
	RequestUser user(request);
	if (request.seconds == 0 || request.seconds > (uint64_t)INT32_MAX) {
		answer_result(fd, -EINVAL);
		return 0;
	}
	int result = mute_user(user.name, request.seconds);
	cluster_action(BUS_MUTE, request.admin_uid, user.name, "", (int64_t)time(nullptr) + (int64_t)request.seconds);
	syslog(LOG_NOTICE, "user %s muted by uid %u (peer uid %u) for %llu seconds", user.name,
	       (unsigned int)request.admin_uid, (unsigned int)peer, (unsigned long long)request.seconds);
	answer_result(fd, result);
	return 0;
}

int handle_admin_unmute(int fd, unsigned char *, const LocalPacketView &packet)
{
	AdminRequest request;
	uid_t peer;
	int r = open_request(fd, packet, &request, &peer);
	if (r <= 0)
		return r;
	RequestUser user(request);
	int result = unmute_user(user.name);
	cluster_action(BUS_UNMUTE, request.admin_uid, user.name, "", 0);
	if (result > 0)
		syslog(LOG_NOTICE, "user %s unmuted by uid %u (peer uid %u)", user.name, (unsigned int)request.admin_uid,
		       (unsigned int)peer);
	answer_result(fd, result);
	return 0;
}

int handle_admin_list_mutes(int fd, unsigned char *, const LocalPacketView &packet)
{
	AdminRequest request;
	uid_t peer;
	int r = open_request(fd, packet, &request, &peer);
	if (r <= 0)
		return r;
	send_mutes(fd);
	return 0;
}

int handle_admin_stats(int fd, unsigned char *, const LocalPacketView &packet)
{
	AdminRequest request;
	uid_t peer;
	int r = open_request(fd, packet, &request, &peer);
	if (r <= 0)
		return r;
	uint64_t values[COUNTER_COUNT];
	stats_fill(values);
	size_t size = 0;
	unsigned char *counters = admin_build_counters(values, COUNTER_COUNT, &size);
	answer(fd, counters, size);
	return 0;
}
