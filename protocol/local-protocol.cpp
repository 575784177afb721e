#include "protocol/local-protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "common/wire-reader.h"

MessageRecord *message_record_new(uint64_t text_length)
{
	if (text_length > SIZE_MAX - sizeof(MessageRecord)) {
		errno = EOVERFLOW;
		return nullptr;
	}
	auto *r = static_cast<MessageRecord *>(calloc(1, sizeof(MessageRecord) + (size_t)text_length));
	if (r == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	r->text_length = text_length;
	return r;
}

void local_copy_name(char *field, size_t field_size, std::string_view name, size_t max_len)
{
	size_t nul = name.find('\0');
	if (nul != std::string_view::npos)
		name = name.substr(0, nul);
	size_t n = name.size() < max_len ? name.size() : max_len;
	memset(field, 0, field_size);
	memcpy(field, name.data(), n);
}

void local_packet_reader_init(LocalPacketReader *reader)
{
	reader->buffer = nullptr;
	reader->length = 0;
	reader->received = 0;
}

void local_packet_reader_reset(LocalPacketReader *reader)
{
	free(reader->buffer);
	local_packet_reader_init(reader);
}

int get_local_packet(int fd, GetPacketOut *out, LocalPacketReader *reader)
{
	if (reader->buffer == nullptr) {
		unsigned char field[LOCAL_PACKET_LENGTH_SIZE];
		ssize_t r;
		do
			r = read(fd, field, sizeof field);
		while (r < 0 && errno == EINTR);
		if (r < 0)
			return GET_PACKET_READ_ERROR;
		if (r == 0)
			return GET_PACKET_EOF;
		if ((size_t)r < sizeof field)
			return GET_PACKET_SHORT_READ;
		uint64_t length;
		memcpy(&length, field, sizeof length);
		if (length > LOCAL_PACKET_MAX_LENGTH) {
			out->length = (uint32_t)length;
			return GET_PACKET_TOO_LARGE;
		}
		auto *buffer = static_cast<unsigned char *>(malloc((size_t)length + LOCAL_PACKET_LENGTH_SIZE));
		if (buffer == nullptr) {
			out->length = (uint32_t)length;
			return GET_PACKET_OUT_OF_MEMORY;
		}
		memcpy(buffer, field, sizeof field);
		reader->buffer = buffer;
		reader->length = length;
		reader->received = 0;
	}

	ssize_t r;
	do
		r = read(fd, reader->buffer + LOCAL_PACKET_LENGTH_SIZE + reader->received,
			 (size_t)(reader->length - reader->received));
	while (r < 0 && errno == EINTR);
	if (r < 0) {
		int saved = errno;
		local_packet_reader_reset(reader);
		errno = saved;
		return GET_PACKET_READ_ERROR;
	}
	if (r == 0) {
		local_packet_reader_reset(reader);
		return GET_PACKET_EOF;
	}
	reader->received += (uint64_t)r;
	if (reader->received < reader->length)
		return GET_PACKET_INCOMPLETE;
	out->packet = reader->buffer;
	reader->buffer = nullptr;
	local_packet_reader_init(reader);
	return GET_PACKET_OK;
}

unsigned char *local_packet_new(int32_t type, size_t payload_size, size_t *size)
{
	if (payload_size > LOCAL_PACKET_MAX_LENGTH) {
		errno = EOVERFLOW;
		return nullptr;
	}
	size_t total = payload_size + LOCAL_PACKET_OVERHEAD;
	auto *p = static_cast<unsigned char *>(calloc(1, total));
	if (p == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	uint64_t length = payload_size + 8;
	memcpy(p, &length, sizeof length);
	memcpy(p + LOCAL_PACKET_LENGTH_SIZE, &type, sizeof type);
	*size = total;
	return p;
}

unsigned char *local_packet_build_login(std::string_view user, std::string_view host,
					std::string_view encoding, size_t *size)
{
	if (encoding.size() > LOCAL_ENCODING_MAX)
		encoding = encoding.substr(0, 0);
	unsigned char *p = local_packet_new(LOCAL_PACKET_LOGIN, LOGIN_RECORD_FIXED_SIZE + encoding.size() + 1, size);
	if (p == nullptr)
		return nullptr;
	char *rec = reinterpret_cast<char *>(local_packet_payload(p));
	local_copy_name(rec, LOCAL_NAME_FIELD, user, LOCAL_NAME_FIELD - 1);
	local_copy_name(rec + LOCAL_NAME_FIELD, LOCAL_HOST_FIELD, host, LOCAL_HOST_FIELD - 1);
	memcpy(rec + LOGIN_RECORD_FIXED_SIZE, encoding.data(), encoding.size());
	return p;
}

unsigned char *local_packet_build_get_online_users(size_t *size)
{
	return local_packet_new(LOCAL_PACKET_GET_ONLINE_USERS, 0, size);
}

unsigned char *local_packet_build_message(int32_t type, const MessageRecord *record, size_t *size)
{
	if (record->text_length > LOCAL_PACKET_MAX_LENGTH) {
		errno = EOVERFLOW;
		return nullptr;
	}
	size_t text_length = (size_t)record->text_length;
	unsigned char *p = local_packet_new(type, MESSAGE_RECORD_FIXED_SIZE + text_length, size);
	if (p == nullptr)
		return nullptr;
	memcpy(local_packet_payload(p), record, MESSAGE_RECORD_FIXED_SIZE + text_length);
	return p;
}

unsigned char *local_packet_build_user_name(int32_t type, std::string_view name, size_t *size)
{
	size_t nul = name.find('\0');
	if (nul != std::string_view::npos)
		name = name.substr(0, nul);
	if (name.size() > LOCAL_NAME_FIELD - 1)
		name = name.substr(0, LOCAL_NAME_FIELD - 1);
	unsigned char *p = local_packet_new(type, name.size() + 1, size);
	if (p == nullptr)
		return nullptr;
	memcpy(local_packet_payload(p), name.data(), name.size());
	return p;
}

unsigned char *local_packet_build_online_users(int32_t your_id, uint32_t count, size_t *size)
{
	if (count > ONLINE_USERS_MAX_ENTRIES) {
		errno = EOVERFLOW;
		return nullptr;
	}
	unsigned char *p = local_packet_new(LOCAL_PACKET_ONLINE_USERS,
					    ONLINE_USERS_FIXED_SIZE + USER_INFO_RECORD_SIZE * (size_t)count, size);
	if (p == nullptr)
		return nullptr;
	unsigned char *rec = local_packet_payload(p);
	memcpy(rec, &your_id, 4);
	memcpy(rec + 4, &count, 4);
	return p;
}

void local_packet_set_user_info(unsigned char *packet, uint32_t index, int32_t id,
				std::string_view user, std::string_view host)
{
	unsigned char *e = local_packet_payload(packet) + ONLINE_USERS_FIXED_SIZE + USER_INFO_RECORD_SIZE * (size_t)index;
	memcpy(e, &id, 4);
	local_copy_name(reinterpret_cast<char *>(e + 4), LOCAL_NAME_FIELD, user, LOCAL_NAME_FIELD - 1);
	local_copy_name(reinterpret_cast<char *>(e + 4 + LOCAL_NAME_FIELD), LOCAL_HOST_FIELD, host,
			LOCAL_HOST_FIELD - 1);
}

unsigned char *local_packet_build_get_history(uint32_t max, size_t *size)
{
	unsigned char *p = local_packet_new(LOCAL_PACKET_GET_HISTORY, sizeof max, size);
	if (p != nullptr)
		memcpy(local_packet_payload(p), &max, sizeof max);
	return p;
}

unsigned char *local_packet_build_history_message(int64_t when, std::string_view from, std::string_view to,
						  int32_t kind, std::string_view text, size_t *size)
{
	if (text.size() > LOCAL_HISTORY_TEXT_MAX) {
		errno = EOVERFLOW;
		return nullptr;
	}
	unsigned char *p = local_packet_new(LOCAL_PACKET_HISTORY_MESSAGE,
					    HISTORY_TIME_SIZE + MESSAGE_RECORD_FIXED_SIZE + text.size(), size);
	if (p == nullptr)
		return nullptr;
	unsigned char *at = local_packet_payload(p);
	memcpy(at, &when, sizeof when);
	at += HISTORY_TIME_SIZE;
	MessageRecord rec = {};
	local_copy_name(rec.from_user, sizeof rec.from_user, from, LOCAL_NAME_FIELD - 1);
	local_copy_name(rec.to_user, sizeof rec.to_user, to, LOCAL_NAME_FIELD - 1);
	rec.kind = kind;
	rec.text_length = text.size();
	memcpy(at, &rec, sizeof rec);
	if (!text.empty())
		memcpy(at + sizeof rec, text.data(), text.size());
	return p;
}

unsigned char *local_packet_build_history_end(uint32_t count, size_t *size)
{
	unsigned char *p = local_packet_new(LOCAL_PACKET_HISTORY_END, sizeof count, size);
	if (p != nullptr)
		memcpy(local_packet_payload(p), &count, sizeof count);
	return p;
}

int local_packet_open(const unsigned char *packet, LocalPacketView *out)
{
	uint64_t length;
	memcpy(&length, packet, sizeof length);
	// Type and reserved bytes are always there; a shorter packet is nothing we can read.
	if (length < 8 || length > LOCAL_PACKET_MAX_LENGTH)
		return -1;
	WireReader r(packet + LOCAL_PACKET_LENGTH_SIZE, (size_t)length);
	out->length = length;
	if (r.get_i32_host(&out->type) < 0 || r.get_bytes((size_t)length - 8, &out->payload) < 0)
		return -1;
	return 0;
}

namespace {

// A name field of field_size bytes; out is its text before the NUL. A field without a NUL is
// refused when nul_required, else taken whole.
int get_name_field(WireReader *r, size_t field_size, bool nul_required, std::string_view *out)
{
	if (nul_required)
		return r->get_cstring_field(field_size, out);
	std::string_view field;
	if (r->get_bytes(field_size, &field) < 0)
		return -1;
	*out = field.substr(0, field.find('\0'));
	return 0;
}

// A MessageRecord at r's position (payload_offset into the payload); from_user carries no value
// in a post-message packet.
int parse_message_record(WireReader &r, bool has_from, bool nul_required, size_t payload_offset, MessageView *out)
{
	std::string_view from;
	uint64_t text_length;
	if (!has_from) {
		if (r.skip(LOCAL_NAME_FIELD) < 0)
			return -1;
		from = std::string_view();
	} else if (get_name_field(&r, LOCAL_NAME_FIELD, nul_required, &from) < 0) {
		return -1;
	}
	if (get_name_field(&r, LOCAL_NAME_FIELD, nul_required, &out->to_user) < 0 || r.get_i32_host(&out->kind) < 0 ||
	    r.skip(4) < 0 || r.get_u64_host(&text_length) < 0 || text_length > r.remaining())
		return -1;
	out->from_user = from;
	out->text_offset = LOCAL_PACKET_HEADER_SIZE + payload_offset + r.offset();
	return r.get_bytes((size_t)text_length, &out->text);
}

int parse_message(const LocalPacketView &p, MessageView *out, bool nul_required)
{
	WireReader r(p.payload);
	return parse_message_record(r, p.type != LOCAL_PACKET_POST_MESSAGE, nul_required, 0, out);
}

int online_users_entry(const OnlineUsersView &list, uint32_t index, UserInfoView *out, bool nul_required)
{
	if (index >= list.count)
		return -1;
	WireReader r(list.entries);
	if (r.skip(USER_INFO_RECORD_SIZE * (size_t)index) < 0 || r.get_i32_host(&out->id) < 0 ||
	    get_name_field(&r, LOCAL_NAME_FIELD, nul_required, &out->user) < 0 ||
	    get_name_field(&r, LOCAL_HOST_FIELD, nul_required, &out->host) < 0)
		return -1;
	return 0;
}

}  // namespace

int local_parse_login(const LocalPacketView &p, LoginView *out)
{
	WireReader r(p.payload);
	if (r.get_cstring_field(LOCAL_NAME_FIELD, &out->user) < 0 ||
	    r.get_cstring_field(LOCAL_HOST_FIELD, &out->host) < 0 ||
	    r.get_until('\0', &out->encoding) < 0)
		return -1;
	return 0;
}

int local_parse_message(const LocalPacketView &p, MessageView *out) { return parse_message(p, out, true); }

int local_parse_message_lenient(const LocalPacketView &p, MessageView *out) { return parse_message(p, out, false); }

int local_parse_history_message(const LocalPacketView &p, int64_t *when, MessageView *out)
{
	WireReader all(p.payload);
	uint64_t t;
	WireReader r;
	if (all.get_u64_host(&t) < 0 || all.sub(all.remaining(), &r) < 0)
		return -1;
	*when = (int64_t)t;
	return parse_message_record(r, true, true, HISTORY_TIME_SIZE, out);
}

int local_parse_u32(const LocalPacketView &p, uint32_t *value)
{
	WireReader r(p.payload);
	if (r.get_u32_host(value) < 0 || !r.empty())
		return -1;
	return 0;
}

int local_parse_user_name(const LocalPacketView &p, std::string_view *name)
{
	WireReader r(p.payload);
	return r.get_until('\0', name);
}

int local_parse_user_name_lenient(const LocalPacketView &p, std::string_view *name)
{
	WireReader r(p.payload);
	return get_name_field(&r, p.payload.size(), false, name);
}

int local_parse_online_users(const LocalPacketView &p, OnlineUsersView *out)
{
	WireReader r(p.payload);
	if (r.get_i32_host(&out->your_id) < 0 || r.get_u32_host(&out->count) < 0 ||
	    out->count > r.remaining() / USER_INFO_RECORD_SIZE)
		return -1;
	return r.get_bytes(USER_INFO_RECORD_SIZE * (size_t)out->count, &out->entries);
}

int local_online_users_entry(const OnlineUsersView &list, uint32_t index, UserInfoView *out)
{
	return online_users_entry(list, index, out, true);
}

int local_online_users_entry_lenient(const OnlineUsersView &list, uint32_t index, UserInfoView *out)
{
	return online_users_entry(list, index, out, false);
}
