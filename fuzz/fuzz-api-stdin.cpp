// Fuzzes what a program sends its api session: after a handshake, every packet of the input
// goes through the frontend's do_stdin as it would from standard input (handshakes, requests
// for the online users and the message of the day, messages to post, unknown types). Checked
// after each packet: the program gets exactly the answer its request calls for, and the server
// exactly the request (a whole post-message packet saying what the program's packet said).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz-api-common.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 15;

fuzz_api::Frontend fe;

void check_motd_answer(const std::vector<std::string> &out, bool motd)
{
	FUZZ_CHECK(out.size() == 1);
	tolvarapi::Packet p = fuzz_api::open_api(out[0]);
	if (motd) {
		tolvarapi::Motd m;
		FUZZ_CHECK(tolvarapi::parse_motd(p, &m) == tolvarapi::OK && m.text == fuzz_api::MOTD_TEXT);
	} else {
		tolvarapi::Error e;
		FUZZ_CHECK(tolvarapi::parse_error(p, &e) == tolvarapi::OK);
		FUZZ_CHECK(e.code == TOLVAR_API_ERROR_MOTD_NOT_AVAILABLE && e.text == "No MOTD available");
	}
}

void check_post(const std::vector<std::string> &sent, const tolvarapi::Packet &request)
{
	tolvarapi::SendMessage want;
	if (tolvarapi::parse_send_message(request, &want) != tolvarapi::OK) {
		FUZZ_CHECK(sent.empty());
		return;
	}
	FUZZ_CHECK(sent.size() == 1);
	LocalPacketView p;
	MessageView m;
	FUZZ_CHECK(local_packet_open(reinterpret_cast<const unsigned char *>(sent[0].data()), &p) == 0);
	FUZZ_CHECK(p.type == LOCAL_PACKET_POST_MESSAGE && local_parse_message(p, &m) == 0);
	// The recipient as the program named it, up to a NUL and cut to what the field holds.
	std::string_view to = want.to.substr(0, want.to.find('\0')).substr(0, LOCAL_NAME_FIELD - 1);
	FUZZ_CHECK(m.to_user == to && m.kind == (int32_t)want.kind && m.text == want.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (fe.client_end < 0)
		fuzz_api::start(&fe);
	if (size < 1 || size > MAX_INPUT)
		return 0;
	bool motd = (data[0] & 1) != 0;
	fuzz_api::set_motd(motd);
	fuzz_api::shake_hands(&fe);
	fuzz_api::api_output(&fe);

	// The program's packets; a handshake that would fail ends the session, and so does the
	// end of the input, a zero or an oversized length: those are left to the session tests.
	const uint8_t *at = data + 1;
	size_t left = size - 1, whole = 0;
	uint16_t agreed = 1;	// shake_hands says version 1
	while (tolvarapi::frame(at, left, TOLVAR_API_MAX_REQUEST_LENGTH, &whole) == tolvarapi::OK) {
		tolvarapi::Packet request;
		FUZZ_CHECK(tolvarapi::open_packet(at, whole, &request) == tolvarapi::OK);
		tolvarapi::Hello hello = {0};
		bool skip = request.type == TOLVAR_API_HELLO && tolvarapi::parse_hello(request, &hello) != tolvarapi::OK;
		if (!skip) {
			fuzz_memfile_fill(&fe.in, at, whole);
			fe.ops.do_stdin(fe.client_end);
			std::vector<std::string> out = fuzz_api::api_output(&fe);
			std::vector<std::string> sent = fuzz_api::server_input(&fe);
			switch (request.type) {
			case TOLVAR_API_HELLO: {
				FUZZ_CHECK(sent.empty() && out.size() == (motd ? 2u : 1u));
				tolvarapi::Pass pass;
				FUZZ_CHECK(tolvarapi::parse_pass(fuzz_api::open_api(out[0]), &pass) == tolvarapi::OK);
				agreed = hello.version > TOLVAR_API_VERSION ? TOLVAR_API_VERSION : hello.version;
				FUZZ_CHECK(pass.version == agreed && pass.user == fuzz_api::USER);
				if (motd)
					check_motd_answer(std::vector<std::string>(out.begin() + 1, out.end()), true);
				break;
			}
			case TOLVAR_API_GET_ONLINE_USER:
				FUZZ_CHECK(out.empty() && sent.size() == 1 && sent[0].size() == LOCAL_PACKET_OVERHEAD);
				FUZZ_CHECK(sent[0].compare(8, 4, "\2\0\0\0", 4) == 0);
				break;
			case TOLVAR_API_SEND_MESSAGE:
				FUZZ_CHECK(out.empty());
				check_post(sent, request);
				break;
			case TOLVAR_API_GET_MOTD:
				FUZZ_CHECK(sent.empty());
				check_motd_answer(out, motd);
				break;
			case TOLVAR_API_GET_HISTORY:
				// From version 2 on a request of at least the count's two bytes goes to the
				// server as one get-history packet; before, the type is unknown.
				FUZZ_CHECK(out.empty());
				if (agreed >= TOLVAR_API_VERSION_HISTORY && request.length >= 3) {
					FUZZ_CHECK(sent.size() == 1 && sent[0].compare(8, 4, "\10\0\0\0", 4) == 0);
				} else {
					FUZZ_CHECK(sent.empty());
				}
				break;
			default:
				FUZZ_CHECK(out.empty() && sent.empty());
				break;
			}
		}
		at += whole;
		left -= whole;
	}
	return 0;
}
