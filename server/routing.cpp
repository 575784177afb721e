// Message routing: who receives a posted message, NUL replacement, conversion of plain text
// to each recipient's encoding between the character sets on the server's list, and the
// user-not-found answer.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iconv.h>
#include <syslog.h>

#include "common/holders.h"
#include "server/charsets.h"
#include "server/history.h"
#include "server/server-internal.h"

namespace {

// The least room a full conversion output grows by; it otherwise doubles.
constexpr size_t CONVERSION_GROWTH = 64;
// Offsets in a receive-message packet that this server built itself.
constexpr size_t PACKET_FROM_USER = LOCAL_PACKET_HEADER_SIZE;
constexpr size_t PACKET_TO_USER = PACKET_FROM_USER + LOCAL_NAME_FIELD;
constexpr size_t PACKET_KIND = PACKET_TO_USER + LOCAL_NAME_FIELD;
constexpr size_t PACKET_TEXT_LENGTH = PACKET_KIND + 8;
constexpr size_t PACKET_TEXT = PACKET_TEXT_LENGTH + 8;

// Turns a post-message packet into the receive-message packet that every recipient without
// conversion gets, in place: type 4, the sender's name stamped in, both names zero-filled
// after their NUL, bytes 0 of a plain text replaced by 0xFF, nothing after the text but the
// reserved bytes. The parsed packet holds at least that many bytes. Returns its size.
size_t make_delivery(unsigned char *p, const char *sender, const MessageView &m)
{
	char to[LOCAL_NAME_FIELD];
	local_copy_name(to, sizeof to, m.to_user, LOCAL_NAME_FIELD - 1);
	uint64_t length = 8 + MESSAGE_RECORD_FIXED_SIZE + m.text.size();
	int32_t type = LOCAL_PACKET_RECEIVE_MESSAGE;
	int32_t reserved = 0;
	memcpy(p, &length, sizeof length);
	memcpy(p + LOCAL_PACKET_LENGTH_SIZE, &type, sizeof type);
	local_copy_name(reinterpret_cast<char *>(p + PACKET_FROM_USER), LOCAL_NAME_FIELD, sender, LOCAL_NAME_FIELD - 1);
	memcpy(p + PACKET_TO_USER, to, sizeof to);
	memcpy(p + PACKET_KIND + sizeof m.kind, &reserved, sizeof reserved);
	unsigned char *text = p + PACKET_TEXT;
	if (m.kind == MESSAGE_KIND_PLAIN) {
		for (size_t i = 0; i < m.text.size(); i++)
			if (text[i] == 0)
				text[i] = 0xFF;
	}
	memset(text + m.text.size(), 0, LOCAL_PACKET_RESERVED_SIZE);
	return (size_t)length + LOCAL_PACKET_LENGTH_SIZE;
}

// Hands the staged delivery to recipient to, counted.
void deliver(int to, StagedPacket *delivery)
{
	stats_delivery(delivery->size);
	client_send_staged(to, delivery);
}

// Converts text into a new record whose text never exceeds limit bytes.
// Returns the record (caller frees), or nullptr with errno.
MessageRecord *convert_text(iconv_t cd, char *text, size_t text_length, uint64_t limit)
{
	size_t capacity = text_length;
	MallocPtr<MessageRecord> rec(message_record_new(capacity));
	if (rec == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	char *in = text;
	size_t in_left = text_length;
	char *out = message_record_text(rec.get());
	size_t out_left = capacity;
	bool flushing = false;
	for (;;) {
		// The last call writes what a stateful encoding needs to return to its initial state.
		size_t r = flushing ? iconv(cd, nullptr, nullptr, &out, &out_left) : iconv(cd, &in, &in_left, &out, &out_left);
		if (r != (size_t)-1) {
			if (flushing)
				break;
			flushing = true;
			continue;
		}
		if (errno != E2BIG)
			return nullptr;
		size_t used = capacity - out_left;
		// A converted text above the packet limit would end the recipient's session.
		if (capacity >= limit) {
			errno = EMSGSIZE;
			return nullptr;
		}
		capacity = capacity < CONVERSION_GROWTH ? capacity + CONVERSION_GROWTH : capacity * 2;
		if (capacity > limit)
			capacity = (size_t)limit;
		auto *grown = static_cast<MessageRecord *>(realloc(rec.get(), sizeof(MessageRecord) + capacity));
		if (grown == nullptr) {
			errno = ENOMEM;
			return nullptr;
		}
		(void)rec.release();	// the block now lives at grown
		rec.reset(grown);
		out = message_record_text(rec.get()) + used;
		out_left = capacity - used;
	}
	rec->text_length = capacity - out_left;
	return rec.release();
}

// Sends recipient to the plain text of delivery converted from one encoding to the other
// (from_charset: the listed character set of from_encoding, or nullptr); when that cannot be
// done, logs why and sends delivery unconverted.
void send_converted(int from, int to, StagedPacket *delivery, const char *from_encoding, const char *from_charset,
		    const char *to_encoding)
{
	const unsigned char *bytes = delivery->bytes;
	uint64_t text_length;
	memcpy(&text_length, bytes + PACKET_TEXT_LENGTH, sizeof text_length);
	std::string_view text(reinterpret_cast<const char *>(bytes + PACKET_TEXT), (size_t)text_length);
	MessageRecord *converted_record = nullptr;
	int r = convert_plain_text(from_charset, to_encoding, text, LOCAL_MESSAGE_TEXT_MAX, &converted_record);
	MallocPtr<MessageRecord> rec(converted_record);
	if (r == CONVERT_FAILED) {
		syslog_perror("dispatch_message: failed to convert text encoding from %s to %s", from_encoding,
			      to_encoding);
		stats_add(COUNTER_CONVERSIONS_FAILED, 1);
	}
	if (r != CONVERT_DONE) {
		deliver(to, delivery);
		return;
	}
	memcpy(rec->from_user, bytes + PACKET_FROM_USER, LOCAL_NAME_FIELD);
	memcpy(rec->to_user, bytes + PACKET_TO_USER, LOCAL_NAME_FIELD);
	rec->kind = MESSAGE_KIND_PLAIN;
	rec->reserved = 0;
	size_t converted_size;
	MallocPtr<unsigned char> converted(local_packet_build_message(LOCAL_PACKET_RECEIVE_MESSAGE, rec.get(), &converted_size));
	if (converted == nullptr) {
		syslog(LOG_ERR, "dispatch_message: out of memory when converting character set");
		return;
	}
	rec.reset();
	stats_add(COUNTER_CONVERSIONS, 1);
	stats_delivery(converted_size);
	client_send(to, converted.get(), converted_size, SEND_DELIVERY, from);
}

void send_user_not_found(int fd, std::string_view to_user)
{
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_user_name(LOCAL_PACKET_USER_NOT_FOUND, to_user, &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "dispatch_message: out of memory");
		return;
	}
	client_send(fd, packet.get(), size, SEND_NOT_FOUND, fd);
}

// Delivers one posted message from connection d; its packet becomes the delivery.
void dispatch_message(int d, unsigned char *packet, const MessageView &m)
{
	const ClientSlot *sender_slot = &server.slots[d];
	if (sender_slot->user[0] == '\0') {
		syslog(LOG_NOTICE, "client fd %d posting message without login", d);
		return;
	}
	if (!moderation_admit_post(d))
		return;
	char sender[LOCAL_NAME_FIELD];
	memcpy(sender, sender_slot->user, sizeof sender);
	const char *sender_encoding = sender_slot->encoding;
	const char *sender_charset = sender_encoding != nullptr ? listed_charset(sender_encoding) : nullptr;
	bool everybody = is_everybody(m.to_user);
	// One delivery packet for all: built where the post arrived, staged once.
	StagedPacket delivery;
	stage_packet(packet, make_delivery(packet, sender, m), SEND_DELIVERY, d, &delivery);
	bool delivered = deliver_locally(d, &delivery, sender, m.to_user, everybody, m.kind, sender_encoding, sender_charset);
	int64_t now = (int64_t)time(nullptr);
	if (cluster_active()) {
		// The recipient's sessions on other servers, and the sender's there, get it too.
		bool elsewhere = !everybody && cluster_user_sessions(m.to_user) > 0;
		delivered = delivered || elsewhere;
		if (everybody || elsewhere || cluster_user_sessions(sender) > 0)
			cluster_post(now, sender, m, sender_charset);
	}
	if (!delivered && !client_has(d, CLIENT_FAILED))
		send_user_not_found(d, m.to_user);
	if (everybody)
		history_keep(now, sender, m, sender_encoding);
}

}  // namespace

bool is_everybody(std::string_view to_user)
{
	return to_user == "GLOBAL" || to_user == "*";
}

bool deliver_locally(int from, StagedPacket *delivery, const char *sender, std::string_view to, bool everybody,
		     int32_t kind, const char *sender_encoding, const char *sender_charset)
{
	bool delivered = false;
	for (int i = 0; i <= server.highest_fd; i++) {
		if (!client_is_recipient(i))
			continue;
		std::string_view user = slot_user(i);
		if (everybody || user == to)
			delivered = true;
		else if (user != sender)
			continue;
		const char *encoding = server.slots[i].encoding;
		if (i != from && needs_conversion(sender_encoding, kind, encoding))
			send_converted(from, i, delivery, sender_encoding, sender_charset, encoding);
		else
			deliver(i, delivery);
	}
	return delivered;
}

bool needs_conversion(const char *from_encoding, int32_t kind, const char *to_encoding)
{
	return from_encoding != nullptr && kind == MESSAGE_KIND_PLAIN && to_encoding != nullptr &&
	       strcmp(from_encoding, to_encoding) != 0;
}

int convert_plain_text(const char *from_charset, const char *to_encoding, std::string_view text, uint64_t limit,
		       MessageRecord **out)
{
	*out = nullptr;
	const char *to_charset = listed_charset(to_encoding);
	if (from_charset != nullptr && to_charset != nullptr && strcmp(from_charset, to_charset) == 0)
		return CONVERT_SAME;	// two spellings of one character set
	errno = EINVAL;		// what iconv_open says of a name it does not know
	if (from_charset == nullptr || to_charset == nullptr)
		return CONVERT_FAILED;
	iconv_t cd = iconv_open(to_charset, from_charset);
	if (cd == (iconv_t)-1)	// NOLINT(performance-no-int-to-ptr): iconv_open's failure value
		return CONVERT_FAILED;
	// iconv's input is not const, but it only reads it.
	*out = convert_text(cd, const_cast<char *>(text.data()), text.size(), limit);
	int saved = errno;
	iconv_close(cd);
	errno = saved;
	return *out != nullptr ? CONVERT_DONE : CONVERT_FAILED;
}

int handle_post_message(int fd, unsigned char *bytes, const LocalPacketView &packet)
{
	MessageView m;
	if (packet.type != LOCAL_PACKET_POST_MESSAGE || local_parse_message(packet, &m) < 0)
		return -1;
	dispatch_message(fd, bytes, m);
	return 0;
}
