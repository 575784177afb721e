// The API frontend's side of the session loop: API packets from standard input become
// requests to the server, server packets become API packets on standard output.
#include "api/api-frontend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include "client/motd.h"
#include "client/requests.h"
#include "common/file-helpers.h"
#include "common/holders.h"
#include "common/duration.h"
#include "common/i18n.h"
#include "protocol/admin-protocol.h"

namespace {

// Longest wait for the program's handshake while the server's packets are held back.
constexpr int HANDSHAKE_WAIT_MS = 1000;
constexpr size_t MOTD_MAX = 4096;	// longest message of the day sent

// A name from a local field as it goes to the program: at most a field's 32 bytes.
std::string_view name_of(std::string_view name) { return name.substr(0, LOCAL_NAME_FIELD); }

// Process-wide state of the frontend.
const char *api_user_name = "";
uint16_t api_version = 0;	// agreed API version; 0 until a handshake has been made
LocalPacketReader api_reader = {nullptr, 0, 0};
// The status with which the session ends once the server's packet has been translated; -1
// while it goes on (set when the server has ended the session).
int end_status = -1;

[[noreturn]] void end_session(int server_fd, int status)
{
	close(server_fd);
	local_packet_reader_reset(&api_reader);
	exit(status);
}

// Writes a built packet (nullptr: the builder failed) to standard output; failures end the
// process.
void emit(const char *writer, unsigned char *packet, size_t size)
{
	MallocPtr<unsigned char> holder(packet);
	if (packet == nullptr) {
		syslog(LOG_ERR, "%s: out of memory", writer);
		exit(1);
	}
	int32_t w = write_fully(STDOUT_FILENO, packet, size);
	if (w >= 0 && (size_t)w < size)
		errno = EIO;
	if (w < 0 || (size_t)w < size) {
		syslog(LOG_ERR, "%s: write: STDOUT_FILENO: errno %d", writer, errno);
		holder.reset();
		exit(1);
	}
}

// ---- the program's packets ----

void handshake(int server_fd, const tolvarapi::Packet &p, MallocPtr<unsigned char> *packet)
{
	tolvarapi::Hello hello = {0};
	switch (tolvarapi::parse_hello(p, &hello)) {
	case tolvarapi::OK:
		break;
	case tolvarapi::HELLO_BAD_LENGTH:
		syslog(LOG_WARNING, "TOLVAR_API_HELLO: handshake failed, packet length mismatch (%u != 9)",
		       (unsigned int)p.length);
		packet->reset();
		end_session(server_fd, 1);
	case tolvarapi::HELLO_BAD_MAGIC:
		syslog(LOG_WARNING, "TOLVAR_API_HELLO: handshake failed, magic mismatch");
		packet->reset();
		end_session(server_fd, 1);
	default:
		syslog(LOG_WARNING, "TOLVAR_API_HELLO: handshake failed, invalid API version %hu", hello.version);
		packet->reset();
		end_session(server_fd, 1);
	}
	syslog(LOG_INFO, "TOLVAR_API_HELLO: client API version %hu", hello.version);
	api_version = hello.version > TOLVAR_API_VERSION ? TOLVAR_API_VERSION : hello.version;
	send_api_pass(api_version, api_user_name);
	send_api_motd();	// no message of the day is no news after a handshake
}

void request_online_users(int server_fd, const tolvarapi::Packet &, MallocPtr<unsigned char> *)
{
	if (client_send_request_get_online_users(server_fd) < 0)
		syslog(LOG_ERR, "TOLVAR_API_GET_ONLINE_USER: client_send_request_get_online_users failed, errno %d",
		       errno);
}

void request_send_message(int server_fd, const tolvarapi::Packet &p, MallocPtr<unsigned char> *)
{
	if (post_message_from_raw_api_data(server_fd, p) < 0)
		syslog(LOG_WARNING, "post_message_from_raw_api_data failed");
}

void request_motd(int, const tolvarapi::Packet &, MallocPtr<unsigned char> *)
{
	if (send_api_motd() == 0)
		return;
	send_api_error(TOLVAR_API_ERROR_MOTD_NOT_AVAILABLE, errno == ENOENT ? _("No MOTD available") : strerror(errno));
}

// Version 2: the last messages to everybody; in version 1 the type is unknown, as before.
void request_history(int server_fd, const tolvarapi::Packet &p, MallocPtr<unsigned char> *)
{
	if (api_version < TOLVAR_API_VERSION_HISTORY) {
		syslog(LOG_WARNING, "Received unknown API packet type %hhu", p.type);
		return;
	}
	tolvarapi::GetHistory request;
	if (tolvarapi::parse_get_history(p, &request) != tolvarapi::OK) {
		syslog(LOG_WARNING, "TOLVAR_API_GET_HISTORY: packet too short (length %u)", (unsigned int)p.length);
		return;
	}
	if (client_send_request_get_history(server_fd, request.max) < 0)
		syslog(LOG_ERR, "TOLVAR_API_GET_HISTORY: client_send_request_get_history failed, errno %d", errno);
}

struct ApiRequestRow {
	uint8_t type;
	void (*handle)(int server_fd, const tolvarapi::Packet &p, MallocPtr<unsigned char> *packet);
};

const ApiRequestRow api_requests[] = {
	{TOLVAR_API_HELLO, handshake},
	{TOLVAR_API_GET_ONLINE_USER, request_online_users},
	{TOLVAR_API_SEND_MESSAGE, request_send_message},
	{TOLVAR_API_GET_MOTD, request_motd},
	{TOLVAR_API_GET_HISTORY, request_history},
	{0, nullptr},
};

void api_init(const char *user_name, int)
{
	api_user_name = user_name;
	syslog(LOG_INFO, "API server started");
}

void api_do_stdin(int server_fd)
{
	GetPacketOut out = {nullptr, 0};
	int result = get_api_packet(STDIN_FILENO, &out);
	switch (result) {
	case GET_PACKET_OK:
		break;
	case GET_PACKET_EOF:
		end_session(server_fd, 0);
	case GET_PACKET_READ_ERROR:
		syslog(LOG_ERR, "STDIN_FILENO: %s", strerror(errno));
		end_session(server_fd, 1);
	case GET_PACKET_TOO_SMALL:
		syslog(LOG_WARNING, "Received API packet too small");
		end_session(server_fd, 1);
	case GET_PACKET_TOO_LARGE:
		syslog(LOG_WARNING, "Received API packet too large (%u bytes)", (unsigned int)out.length);
		end_session(server_fd, 1);
	case GET_PACKET_OUT_OF_MEMORY:
		syslog(LOG_ERR, "Out of memory");
		end_session(server_fd, 1);
	default:
		syslog(LOG_ERR, "Unknown error %d from get_api_packet", result);
		abort();
	}

	MallocPtr<unsigned char> packet(out.packet);
	tolvarapi::Packet p;
	if (tolvarapi::open_packet(packet.get(), 4 + (size_t)out.length, &p) != tolvarapi::OK) {
		syslog(LOG_ERR, "Unknown error %d from get_api_packet", result);
		abort();
	}
	if (api_version == 0 && p.type != TOLVAR_API_HELLO) {
		syslog(LOG_WARNING, "Received API packet type %hhu before handshake", p.type);
		packet.reset();
		end_session(server_fd, 1);
	}
	for (const ApiRequestRow *row = api_requests; row->handle != nullptr; row++) {
		if (row->type == p.type) {
			row->handle(server_fd, p, &packet);
			return;
		}
	}
	syslog(LOG_WARNING, "Received unknown API packet type %hhu", p.type);
}

// ---- the server's packets ----

void malformed(const LocalPacketView &p)
{
	syslog(LOG_WARNING, "Malformed local packet type %d dropped", (int)p.type);
}

void translate_user_not_found(const LocalPacketView &p)
{
	std::string_view name;
	if (local_parse_user_name_lenient(p, &name) < 0)
		return malformed(p);
	char text[256], name_text[256];
	local_copy_name(name_text, sizeof name_text, name, sizeof name_text - 1);
	snprintf(text, sizeof text, _("User %s not found"), name_text);
	send_api_error(TOLVAR_API_ERROR_USER_NOT_FOUND, text);
}

void translate_message(const LocalPacketView &p)
{
	MessageView m;
	if (local_parse_message_lenient(p, &m) < 0)
		return malformed(p);
	send_api_message(m);
}

void translate_online_users(const LocalPacketView &p)
{
	OnlineUsersView list;
	if (local_parse_online_users(p, &list) < 0 || send_api_online_users(list) < 0)
		malformed(p);
}

void translate_user_state(const LocalPacketView &p)
{
	std::string_view name;
	if (local_parse_user_name_lenient(p, &name) < 0)
		return malformed(p);
	send_api_user_state(name, p.type == LOCAL_PACKET_USER_ONLINE);
}

bool moderation_errors(void)
{
	return api_version >= TOLVAR_API_VERSION_MODERATION;
}

// The administrator ended this session; the server closes the connection next, which is all
// that a program of version 1 learns.
void translate_kicked(const LocalPacketView &p)
{
	std::string_view message;
	if (notice_parse_kicked(p, &message) < 0)
		return malformed(p);
	syslog(LOG_INFO, "Disconnected by the administrator");
	if (!moderation_errors())
		return;
	char text[ADMIN_MESSAGE_MAX + 128], message_text[ADMIN_MESSAGE_MAX + 1];
	local_copy_name(message_text, sizeof message_text, message, ADMIN_MESSAGE_MAX);
	if (message.empty())
		snprintf(text, sizeof text, "%s", _("Disconnected by the administrator"));
	else
		snprintf(text, sizeof text, _("Disconnected by the administrator: %s"), message_text);
	send_api_error(TOLVAR_API_ERROR_DISCONNECTED, text);
	end_status = 0;
}

void translate_muted(const LocalPacketView &p)
{
	uint64_t seconds;
	if (notice_parse_muted(p, &seconds) < 0)
		return malformed(p);
	if (!moderation_errors())
		return;
	char text[256], left[32];
	snprintf(text, sizeof text, _("You are muted for %s more; your message was not delivered"),
		 format_duration(seconds, left, sizeof left));
	send_api_error(TOLVAR_API_ERROR_MUTED, text);
}

void translate_login_refused(const LocalPacketView &p)
{
	uint32_t reason, limit;
	if (notice_parse_login_refused(p, &reason, &limit) < 0)
		return malformed(p);
	syslog(LOG_WARNING, "Login refused: too many sessions (at most %u)", (unsigned int)limit);
	if (moderation_errors()) {
		char text[256];
		snprintf(text, sizeof text, _("Too many sessions of user %s (at most %u); login refused"), api_user_name,
			 (unsigned int)limit);
		send_api_error(TOLVAR_API_ERROR_DISCONNECTED, text);
	} else {
		send_api_error(TOLVAR_API_ERROR_SERVER_CLOSED, _("Server closed connection"));
	}
	end_status = 1;
}

// Only a program that asked gets these; one that shook hands again with version 1 since
// gets none.
void translate_history_message(const LocalPacketView &p)
{
	int64_t when;
	MessageView m;
	if (local_parse_history_message(p, &when, &m) < 0)
		return malformed(p);
	if (api_version < TOLVAR_API_VERSION_HISTORY)
		return;
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_history_message((uint64_t)when, name_of(m.from_user), name_of(m.to_user),
								 (uint8_t)m.kind, m.text, &size);
	emit("send_api_history_message", packet, size);
}

void translate_history_end(const LocalPacketView &p)
{
	uint32_t count;
	if (local_parse_u32(p, &count) < 0)
		return malformed(p);
	if (api_version < TOLVAR_API_VERSION_HISTORY)
		return;
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_history_end(count > UINT16_MAX ? UINT16_MAX : (uint16_t)count, &size);
	emit("send_api_history_end", packet, size);
}

struct LocalPacketRow {
	int32_t type;
	void (*translate)(const LocalPacketView &p);
};

const LocalPacketRow local_packets[] = {
	{LOCAL_PACKET_USER_NOT_FOUND, translate_user_not_found},
	{LOCAL_PACKET_RECEIVE_MESSAGE, translate_message},
	{LOCAL_PACKET_ONLINE_USERS, translate_online_users},
	{LOCAL_PACKET_USER_ONLINE, translate_user_state},
	{LOCAL_PACKET_USER_OFFLINE, translate_user_state},
	{LOCAL_PACKET_KICKED, translate_kicked},
	{LOCAL_PACKET_MUTED, translate_muted},
	{LOCAL_PACKET_LOGIN_REFUSED, translate_login_refused},
	{LOCAL_PACKET_HISTORY_MESSAGE, translate_history_message},
	{LOCAL_PACKET_HISTORY_END, translate_history_end},
	{0, nullptr},
};

[[noreturn]] void server_failed(int server_fd, uint32_t code, const char *text, int status)
{
	send_api_error(code, text);
	end_session(server_fd, status);
}

void api_do_local_packet(int server_fd)
{
	// Until the program has shaken hands, the server's packets wait in the socket. The wait
	// (a second at most, so that the loop does not spin on the readable socket) ends as soon
	// as the program's input arrives: a hello that comes just after the server's first
	// packet is answered at once, not a second later.
	if (api_version == 0) {
		struct pollfd input = {STDIN_FILENO, POLLIN, 0};
		poll(&input, 1, HANDSHAKE_WAIT_MS);
		return;
	}
	GetPacketOut out = {nullptr, 0};
	int result = get_local_packet(server_fd, &out, &api_reader);
	switch (result) {
	case GET_PACKET_OK:
		break;
	case GET_PACKET_INCOMPLETE:
		return;
	case GET_PACKET_EOF:
		server_failed(server_fd, TOLVAR_API_ERROR_SERVER_CLOSED, _("Server closed connection"), 0);
	case GET_PACKET_READ_ERROR:
		server_failed(server_fd, TOLVAR_API_ERROR_LOCAL_READ, strerror(errno), 1);
	case GET_PACKET_SHORT_READ:
		server_failed(server_fd, TOLVAR_API_ERROR_LOCAL_READ, _("Local packet short read"), 1);
	case GET_PACKET_TOO_LARGE:
		server_failed(server_fd, TOLVAR_API_ERROR_LOCAL_PACKET_TOO_LARGE, _("Received local packet too large"), 1);
	case GET_PACKET_OUT_OF_MEMORY:
		server_failed(server_fd, TOLVAR_API_ERROR_OUT_OF_MEMORY, _("Out of memory"), 1);
	default:
		send_api_error(TOLVAR_API_ERROR_INTERNAL_ERROR, _("Internal error"));
		syslog(LOG_ERR, "Unknown error %d from get_local_packet", result);
		abort();
	}

	MallocPtr<unsigned char> packet(out.packet);
	LocalPacketView p;
	if (local_packet_open(packet.get(), &p) < 0) {
		syslog(LOG_WARNING, "Malformed local packet dropped");
		return;
	}
	for (const LocalPacketRow *row = local_packets; row->translate != nullptr; row++) {
		if (row->type == p.type) {
			row->translate(p);
			if (end_status >= 0) {
				packet.reset();
				end_session(server_fd, end_status);
			}
			return;
		}
	}
	syslog(LOG_WARNING, "Unknown local packet type %d", (int)p.type);
}

}  // namespace

int get_api_packet(int fd, GetPacketOut *out)
{
	size_t size = 0;
	int r = tolvarapi::read_packet(fd, TOLVAR_API_MAX_REQUEST_LENGTH, &out->packet, &size);
	if (size >= 4)
		out->length = (uint32_t)(size - 4);
	switch (r) {
	case tolvarapi::OK:
		return GET_PACKET_OK;
	case tolvarapi::END:
		return GET_PACKET_EOF;
	case tolvarapi::TOO_SMALL:
		return GET_PACKET_TOO_SMALL;
	case tolvarapi::TOO_LARGE:
		return GET_PACKET_TOO_LARGE;
	case tolvarapi::NO_MEMORY:
		return GET_PACKET_OUT_OF_MEMORY;
	default:
		return GET_PACKET_READ_ERROR;
	}
}

void send_api_pass(uint16_t version, const char *user_name)
{
	size_t size;
	MallocPtr<unsigned char> packet(tolvarapi::build_pass(version, user_name, &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "send_api_pass: out of memory");
		exit(1);
	}
	ssize_t w;
	do
		w = write(STDOUT_FILENO, packet.get(), size);
	while (w < 0 && errno == EINTR);
	if (w < 0) {
		syslog(LOG_ERR, "send_api_pass: write: STDOUT_FILENO: errno %d", errno);
		packet.reset();
		exit(1);
	}
}

int send_api_motd(void)
{
	char text[MOTD_MAX];
	int32_t n = client_read_motd(text, sizeof text);
	if (n < 0) {
		int saved = errno;
		if (n == MOTD_READ_FAILED)
			syslog(LOG_WARNING, "send_api_motd: read: %s", strerror(saved));
		else if (saved != ENOENT)
			syslog(LOG_WARNING, "send_api_motd: motd: %s", strerror(saved));
		errno = saved;
		return -1;
	}
	if (n == 0) {
		errno = ENOENT;
		return -1;
	}
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_motd(std::string_view(text, (size_t)n), &size);
	emit("send_api_motd", packet, size);
	return 0;
}

void send_api_error(uint32_t code, const char *text)
{
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_error(code, text, &size);
	emit("send_api_error", packet, size);
}

void send_api_message(const MessageView &message)
{
	std::string_view to = message.to_user;
	if (api_version <= 1 && to == "*")
		to = "GLOBAL";
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_message((uint64_t)time(nullptr), name_of(message.from_user),
							 name_of(to), (uint8_t)message.kind, message.text, &size);
	emit("send_api_message", packet, size);
}

int send_api_online_users(const OnlineUsersView &list)
{
	std::unique_ptr<tolvarapi::UserEntry[]> entries(new (std::nothrow) tolvarapi::UserEntry[list.count]);
	if (entries == nullptr) {
		syslog(LOG_ERR, "send_api_online_users: out of memory");
		exit(1);
	}
	for (uint32_t i = 0; i < list.count; i++) {
		UserInfoView e;
		if (local_online_users_entry_lenient(list, i, &e) < 0) {
			errno = EINVAL;
			return -1;
		}
		entries[i] = {(uint16_t)e.id, name_of(e.user), e.host.substr(0, LOCAL_HOST_FIELD)};
	}
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_online_users((uint16_t)list.your_id, entries.get(), list.count, &size);
	entries.reset();
	emit("send_api_online_users", packet, size);
	return 0;
}

void send_api_user_state(std::string_view user_name, bool online)
{
	size_t size = 0;
	unsigned char *packet = tolvarapi::build_user_state(online, name_of(user_name), &size);
	emit("send_api_user_state", packet, size);
}

int post_message_from_raw_api_data(int server_fd, const tolvarapi::Packet &packet)
{
	tolvarapi::SendMessage m;
	if (tolvarapi::parse_send_message(packet, &m) != tolvarapi::OK)
		return -1;
	MallocPtr<MessageRecord> record(message_record_new(m.text.size()));
	if (record == nullptr)
		return -1;
	local_copy_name(record->to_user, LOCAL_NAME_FIELD, m.to, LOCAL_NAME_FIELD - 1);
	record->kind = m.kind;
	memcpy(message_record_text(record.get()), m.text.data(), m.text.size());
	return client_post_message(server_fd, record.get());
}

const FrontendOps api_frontend_ops = {
	api_init,		// init
	api_do_local_packet,	// do_local_packet
	api_do_stdin,		// do_stdin
	nullptr,		// do_after_signal: none
	nullptr,		// do_tick: none
};
