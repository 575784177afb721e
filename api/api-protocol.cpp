#include "api/api-protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/file-helpers.h"
#include "common/holders.h"
#include "common/wire-reader.h"
#include "common/wire-writer.h"

namespace {

using ApiWriter = WireWriter;

// Allocates a packet of type with body bytes after the type; the writer starts behind it.
unsigned char *api_packet_new(uint8_t type, uint64_t body, size_t *size, ApiWriter *w)
{
	if (body > UINT32_MAX - 1 || body > SIZE_MAX - API_HEADER_SIZE) {
		errno = EOVERFLOW;
		return nullptr;
	}
	size_t total = API_HEADER_SIZE + (size_t)body;
	auto *p = static_cast<unsigned char *>(malloc(total));
	if (p == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	put_u32_be(p, (uint32_t)(body + 1));
	p[4] = type;
	w->p = p + API_HEADER_SIZE;
	*size = total;
	return p;
}

bool name_fits(std::string_view s) { return s.size() <= UINT8_MAX; }
bool text_fits(std::string_view s) { return s.size() <= UINT32_MAX; }

// A name as it leaves a local field: the field already ends at its NUL; at most max bytes.
std::string_view cut(std::string_view s, size_t max) { return s.size() > max ? s.substr(0, max) : s; }

}  // namespace

int get_api_packet(int fd, GetPacketOut *out)
{
	unsigned char field[API_LENGTH_SIZE];
	int32_t r = read_fully(fd, field, sizeof field);
	if (r < 0)
		return GET_PACKET_READ_ERROR;
	if ((size_t)r < sizeof field)
		return GET_PACKET_EOF;
	WireReader reader(field, sizeof field);
	uint32_t length = 0;
	reader.get_u32_be(&length);
	out->length = length;
	if (length == 0)
		return GET_PACKET_TOO_SMALL;
	if (length > API_PACKET_MAX_LENGTH)
		return GET_PACKET_TOO_LARGE;
	MallocPtr<unsigned char> packet(static_cast<unsigned char *>(malloc(API_LENGTH_SIZE + (size_t)length)));
	if (packet == nullptr)
		return GET_PACKET_OUT_OF_MEMORY;
	memcpy(packet.get(), field, sizeof field);
	r = read_fully(fd, packet.get() + API_LENGTH_SIZE, length);
	if (r < 0)
		return GET_PACKET_READ_ERROR;
	if ((uint32_t)r < length)
		return GET_PACKET_EOF;
	out->packet = packet.release();
	return GET_PACKET_OK;
}

int api_packet_open(const unsigned char *packet, size_t size, ApiPacketView *out)
{
	WireReader r(packet, size);
	if (r.get_u32_be(&out->length) < 0 || out->length == 0 || out->length != r.remaining() ||
	    r.get_u8(&out->type) < 0)
		return -1;
	out->fields = r.rest();
	return 0;
}

int api_parse_hello(const ApiPacketView &p, uint16_t *version)
{
	if (p.length != API_HELLO_LENGTH)
		return API_HELLO_BAD_LENGTH;
	WireReader r(p.fields);
	std::string_view magic;
	if (r.get_bytes(TOLVAR_API_MAGIC_SIZE, &magic) < 0 ||
	    magic != std::string_view(TOLVAR_API_MAGIC, TOLVAR_API_MAGIC_SIZE))
		return API_HELLO_BAD_MAGIC;
	if (r.get_u16_be(version) < 0 || *version == 0)
		return API_HELLO_BAD_VERSION;
	return API_HELLO_OK;
}

int api_parse_send_message(const ApiPacketView &p, ApiSendMessageView *out)
{
	WireReader r(p.fields);
	uint8_t to_length;
	uint32_t text_length;
	if (r.get_u8(&to_length) < 0 || r.get_bytes(to_length, &out->to_user) < 0 || r.get_u8(&out->kind) < 0 ||
	    r.get_u32_be(&text_length) < 0 || r.get_bytes(text_length, &out->text) < 0)
		return -1;
	return 0;
}

unsigned char *api_build_pass(uint16_t version, std::string_view user_name, size_t *size)
{
	if (!name_fits(user_name)) {
		errno = EOVERFLOW;
		return nullptr;
	}
	ApiWriter w;
	unsigned char *p = api_packet_new(TOLVAR_API_PASS, TOLVAR_API_MAGIC_SIZE + 2 + 1 + user_name.size(), size, &w);
	if (p == nullptr)
		return nullptr;
	w.bytes(std::string_view(TOLVAR_API_MAGIC, TOLVAR_API_MAGIC_SIZE));
	w.u16(version);
	w.name(user_name);
	return p;
}

unsigned char *api_build_motd(std::string_view text, size_t *size)
{
	if (!text_fits(text)) {
		errno = EOVERFLOW;
		return nullptr;
	}
	ApiWriter w;
	unsigned char *p = api_packet_new(TOLVAR_API_MOTD, 4 + (uint64_t)text.size(), size, &w);
	if (p == nullptr)
		return nullptr;
	w.text(text);
	return p;
}

unsigned char *api_build_error(uint32_t code, std::string_view text, size_t *size)
{
	if (!text_fits(text)) {
		errno = EOVERFLOW;
		return nullptr;
	}
	ApiWriter w;
	unsigned char *p = api_packet_new(TOLVAR_API_ERROR, 8 + (uint64_t)text.size(), size, &w);
	if (p == nullptr)
		return nullptr;
	w.u32(code);
	w.text(text);
	return p;
}

unsigned char *api_build_user_state(bool online, std::string_view user_name, size_t *size)
{
	user_name = cut(user_name, API_NAME_MAX);
	ApiWriter w;
	unsigned char *p = api_packet_new(TOLVAR_API_USER_STATE, 2 + user_name.size(), size, &w);
	if (p == nullptr)
		return nullptr;
	w.u8(online ? 1 : 0);
	w.name(user_name);
	return p;
}

unsigned char *api_build_message(uint64_t time, uint16_t version, const MessageView &message, size_t *size)
{
	std::string_view from = cut(message.from_user, API_NAME_MAX);
	std::string_view to = cut(message.to_user, API_NAME_MAX);
	if (version <= 1 && to == "*")
		to = "GLOBAL";
	if (!text_fits(message.text)) {
		errno = EOVERFLOW;
		return nullptr;
	}
	ApiWriter w;
	unsigned char *p = api_packet_new(TOLVAR_API_RECEIVE_MESSAGE,
					  8 + 1 + from.size() + 1 + to.size() + 1 + 4 + (uint64_t)message.text.size(),
					  size, &w);
	if (p == nullptr)
		return nullptr;
	w.u64(time);
	w.name(from);
	w.name(to);
	w.u8((uint8_t)message.kind);
	w.text(message.text);
	return p;
}

unsigned char *api_build_online_users(const OnlineUsersView &list, size_t *size)
{
	uint64_t body = 4;
	for (uint32_t i = 0; i < list.count; i++) {
		UserInfoView e;
		if (local_online_users_entry_lenient(list, i, &e) < 0) {
			errno = EINVAL;
			return nullptr;
		}
		body += 2 + 1 + cut(e.user, API_NAME_MAX).size() + 1 + cut(e.host, API_HOST_MAX).size();
	}
	ApiWriter w;
	unsigned char *p = api_packet_new(TOLVAR_API_ONLINE_USERS, body, size, &w);
	if (p == nullptr)
		return nullptr;
	w.u16((uint16_t)list.your_id);
	w.u16((uint16_t)list.count);
	for (uint32_t i = 0; i < list.count; i++) {
		UserInfoView e;
		local_online_users_entry_lenient(list, i, &e);
		w.u16((uint16_t)e.id);
		w.name(cut(e.user, API_NAME_MAX));
		w.name(cut(e.host, API_HOST_MAX));
	}
	return p;
}
