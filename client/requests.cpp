// The requests a frontend sends the server: post a message, ask for the online users.
#include "client/requests.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "common/file-helpers.h"
#include "common/holders.h"

int client_send_request_get_online_users(int server_fd)
{
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_get_online_users(&size));
	if (packet == nullptr)
		return -1;
	ssize_t w;
	do
		w = write(server_fd, packet.get(), size);
	while (w < 0 && errno == EINTR);
	return w < 0 ? -1 : 0;
}

int client_send_request_get_history(int server_fd, uint32_t max)
{
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_get_history(max, &size));
	if (packet == nullptr)
		return -1;
	// A server that has gone is found when the connection is next read, not by a signal here.
	ssize_t w;
	do
		w = send(server_fd, packet.get(), size, MSG_NOSIGNAL);
	while (w < 0 && errno == EINTR);
	return w < 0 ? -1 : 0;
}

int client_post_message(int server_fd, const MessageRecord *record)
{
	uint64_t text_length = record->text_length;
	if (text_length > SIZE_MAX - MESSAGE_RECORD_FIXED_SIZE - LOCAL_PACKET_OVERHEAD) {
		errno = EOVERFLOW;
		return -1;
	}
	// The server refuses a longer packet and drops the whole connection with it.
	if (text_length > LOCAL_MESSAGE_TEXT_MAX) {
		errno = EMSGSIZE;
		return -1;
	}
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_message(LOCAL_PACKET_POST_MESSAGE, record, &size));
	if (packet == nullptr)
		return -1;
	int32_t w = write_fully(server_fd, packet.get(), size);
	if (w < 0)
		return -1;
	if ((size_t)w < size) {
		errno = EIO;	// a write that took nothing: the server cannot have the whole packet
		return -1;
	}
	return 0;
}

int client_post_plain_text(int server_fd, const char *recipient, const char *text)
{
	size_t text_length = strlen(text);
	MallocPtr<MessageRecord> record(message_record_new(text_length));
	if (record == nullptr)
		return -1;
	local_copy_name(record->to_user, LOCAL_NAME_FIELD, recipient, LOCAL_NAME_FIELD - 1);
	record->kind = MESSAGE_KIND_PLAIN;
	memcpy(message_record_text(record.get()), text, text_length);
	return client_post_message(server_fd, record.get());
}
