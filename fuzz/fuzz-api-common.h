// What the two API frontend targets share: the frontend started as a session starts it, on
// memory files for standard input and output and a socket pair for the server connection,
// and readers for what it sent either way.
#ifndef TOLVAR_FUZZ_FUZZ_API_COMMON_H
#define TOLVAR_FUZZ_FUZZ_API_COMMON_H

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/api-frontend.h"
#include "api/tolvar-api-client.h"
#include "fuzz/fuzz-support.h"

namespace fuzz_api {

constexpr const char *USER = "alice";
constexpr const char *MOTD_TEXT = "Welcome to the fuzzed chat\n";

struct Frontend {
	FrontendOps ops;
	FuzzMemFile in, out;
	int client_end = -1;	// the session's server connection
	int server_end = -1;	// what the server reads and writes
};

inline void set_motd(bool present)
{
	static int state = -1;
	if (state == (int)present)
		return;
	if (present) {
		FILE *f = fopen("motd", "w");
		FUZZ_CHECK(f != nullptr && fputs(MOTD_TEXT, f) >= 0 && fclose(f) == 0);
	} else {
		FUZZ_CHECK(unlink("motd") == 0 || errno == ENOENT);
	}
	state = present;
}

inline void start(Frontend *f)
{
	fuzz_enter_private_directory();
	set_motd(true);
	int sv[2];
	FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
	f->client_end = sv[0];
	f->server_end = sv[1];
	fuzz_memfile_install(&f->in, STDIN_FILENO);
	fuzz_memfile_install(&f->out, STDOUT_FILENO);
	f->ops = api_frontend_ops;
	f->ops.init(USER, f->client_end);
}

// Whole API packets the frontend wrote to standard output since the last call.
inline std::vector<std::string> api_output(Frontend *f)
{
	std::string bytes = fuzz_memfile_take(&f->out);
	std::vector<std::string> packets;
	size_t at = 0, whole = 0;
	while (at < bytes.size()) {
		FUZZ_CHECK(tolvarapi::frame(bytes.data() + at, bytes.size() - at, tolvarapi::DEFAULT_MAX_LENGTH, &whole) ==
			   tolvarapi::OK);
		packets.push_back(bytes.substr(at, whole));
		at += whole;
	}
	return packets;
}

inline tolvarapi::Packet open_api(const std::string &packet)
{
	tolvarapi::Packet p;
	FUZZ_CHECK(tolvarapi::open_packet(packet.data(), packet.size(), &p) == tolvarapi::OK);
	return p;
}

// Whole local packets that reached the server end; the socket is left empty.
inline std::vector<std::string> server_input(Frontend *f)
{
	std::string bytes;
	char buf[8192];
	for (;;) {
		ssize_t r = recv(f->server_end, buf, sizeof buf, MSG_DONTWAIT);
		if (r < 0) {
			FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
			break;
		}
		bytes.append(buf, (size_t)r);
	}
	std::vector<std::string> packets;
	size_t at = 0;
	while (at < bytes.size()) {
		uint64_t length;
		FUZZ_CHECK(bytes.size() - at >= LOCAL_PACKET_OVERHEAD);
		memcpy(&length, bytes.data() + at, sizeof length);
		FUZZ_CHECK(length >= 8 && length + LOCAL_PACKET_LENGTH_SIZE <= bytes.size() - at);
		packets.push_back(bytes.substr(at, (size_t)length + LOCAL_PACKET_LENGTH_SIZE));
		at += (size_t)length + LOCAL_PACKET_LENGTH_SIZE;
	}
	return packets;
}

// A handshake with version 1 through the frontend's do_stdin; its answer is checked and dropped.
inline void shake_hands(Frontend *f)
{
	size_t size = 0;
	unsigned char *hello = tolvarapi::build_hello(1, &size);
	FUZZ_CHECK(hello != nullptr);
	fuzz_memfile_fill(&f->in, hello, size);
	free(hello);
	f->ops.do_stdin(f->client_end);
	std::vector<std::string> out = api_output(f);
	FUZZ_CHECK(!out.empty());
	tolvarapi::Pass pass;
	FUZZ_CHECK(tolvarapi::parse_pass(open_api(out[0]), &pass) == tolvarapi::OK);
	FUZZ_CHECK(pass.version == 1 && pass.user == USER);
}

}  // namespace fuzz_api

#endif
