// Login and presence: who is online, the online-users list, online and offline announcements.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "common/holders.h"
#include "common/user-name.h"
#include "server/server-internal.h"

bool other_session_of(const char *user, int fd)
{
	for (int i = 0; i <= server.highest_fd; i++)
		if (i != fd && client_has(i, CLIENT_CONNECTED) && strcmp(server.slots[i].user, user) == 0)
			return true;
	return false;
}

int handle_login(int fd, unsigned char *, const LocalPacketView &packet)
{
	LoginView login;
	if (local_parse_login(packet, &login) < 0 || login.encoding.size() > LOCAL_ENCODING_MAX)
		return -1;
	// The field holds its NUL, so the name has at most 31 bytes.
	char user[LOCAL_NAME_FIELD];
	local_copy_name(user, sizeof user, login.user, LOCAL_NAME_FIELD - 1);
	if (!is_valid_user_name(user)) {
		syslog(LOG_WARNING, "client fd %d login with invalid user name", fd);
		return 0;
	}
	ClientSlot *slot = &server.slots[fd];
	char host[LOCAL_HOST_FIELD];
	local_copy_name(host, sizeof host, login.host, LOCAL_HOST_FIELD - 1);
	if (strcmp(user, slot->user) != 0 && session_cap_refuses(fd, user, host))
		return 0;
	// A connection that logs in again under another name leaves the old one first.
	if (slot->user[0] != '\0' && strcmp(user, slot->user) != 0) {
		char old[LOCAL_NAME_FIELD];
		memcpy(old, slot->user, sizeof old);
		memset(slot->user, 0, sizeof slot->user);
		logout_step(fd, old);
	}

	bool dup = other_session_of(user, fd) || cluster_user_sessions(user) > 0;
	memcpy(slot->user, user, sizeof slot->user);
	memcpy(slot->host, host, sizeof slot->host);
	if (!login.encoding.empty()) {
		free(slot->encoding);
		slot->encoding = strndup(login.encoding.data(), login.encoding.size());
		if (slot->encoding == nullptr)
			syslog(LOG_ERR, "client fd %d login: out of memory for the encoding name", fd);
	}
	syslog(LOG_INFO, "user %s login from %s fd %d dup %d", slot->user, slot->host, fd, dup ? 1 : 0);
	moderation_login(fd);
	cluster_session_on(fd);
	if (!dup)
		broadcast_user_state(slot->user, true, server.highest_fd + 1);
	return 0;
}

int handle_get_online_users(int fd, unsigned char *, const LocalPacketView &packet)
{
	if (!packet.payload.empty())
		return -1;
	send_online_users(fd);
	return 0;
}

void send_online_users(int fd)
{
	uint32_t local = 0;
	for (int i = 0; i <= server.highest_fd; i++)
		if (client_is_recipient(i))
			local++;
	uint32_t remote = cluster_session_count();
	uint32_t n = local + remote;
	// One packet carries 12787 entries: the readers refuse a larger one, and with it the
	// asking session would end.
	if (n > ONLINE_USERS_MAX_ENTRIES) {
		syslog(LOG_WARNING, "send_online_users: %u sessions, the list holds the first %u", (unsigned int)n,
		       (unsigned int)ONLINE_USERS_MAX_ENTRIES);
		n = (uint32_t)ONLINE_USERS_MAX_ENTRIES;
	}
	MallocPtr<ClusterSession> others(remote > 0 ? static_cast<ClusterSession *>(malloc(sizeof(ClusterSession) * remote))
						    : nullptr);
	if (remote > 0 && others == nullptr) {
		syslog(LOG_ERR, "send_online_users: out of memory");
		return;
	}
	remote = cluster_list_sessions(others.get(), remote < n ? remote : n);
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_online_users(fd, n, &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "send_online_users: out of memory");
		return;
	}
	// The list runs from the highest id down to the lowest: sessions on other servers (ids
	// above every local one) first.
	uint32_t index = 0;
	for (uint32_t k = 0; k < remote; k++, index++)
		local_packet_set_user_info(packet.get(), index, others.get()[k].id, others.get()[k].user,
					   others.get()[k].host);
	uint32_t end = n;
	for (int i = 0; i <= server.highest_fd && end > index; i++) {
		if (!client_is_recipient(i))
			continue;
		end--;
		local_packet_set_user_info(packet.get(), end, i, server.slots[i].user, server.slots[i].host);
	}
	client_send(fd, packet.get(), size, SEND_ONLINE_USERS, fd);
}

void logout_step(int fd, const char *user)
{
	cluster_session_off(fd);
	bool remains = other_session_of(user, fd) || cluster_user_sessions(user) > 0;
	if (!remains)
		broadcast_user_state(user, false, server.highest_fd + 1);
	syslog(LOG_INFO, "user %s logout fd %d dup %d", user, fd, remains ? 1 : 0);
}

void broadcast_user_state(const char *user, bool online, int limit)
{
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_user_name(
	    online ? LOCAL_PACKET_USER_ONLINE : LOCAL_PACKET_USER_OFFLINE, user, &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "broadcast_user_state: out of memory");
		return;
	}
	if (limit > server.slot_count)
		limit = server.slot_count;
	StagedPacket staged;
	stage_packet(packet.get(), size, SEND_USER_STATE, -1, &staged);
	for (int i = 0; i < limit; i++)
		if (client_is_recipient(i))
			client_send_staged(i, &staged);
}
