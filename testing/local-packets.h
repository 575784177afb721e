// Raw local packets as a peer of the server or of a session writes and reads them: builders
// that take any values (also ones the programs would refuse), the cutting of a received byte
// stream into whole packets, and packets decoded into fields.
#ifndef TOLVAR_TESTING_LOCAL_PACKETS_H
#define TOLVAR_TESTING_LOCAL_PACKETS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tt {

// A packet of type around payload: the length field says payload + 8, the reserved bytes are 0.
std::string local_packet(int32_t type, std::string_view payload);
// Names are cut to their fields (32 and 128 bytes) but not NUL-terminated when they fill them.
std::string login_packet(const std::string &user, const std::string &host, const std::string &encoding);
std::string message_packet(int32_t type, const std::string &from, const std::string &to, int32_t kind,
			   const std::string &text);
std::string empty_packet(int32_t type);

// The length field and the type of a packet; 0 and -1 when it is too short to hold them.
uint64_t packet_length(std::string_view p);
int32_t packet_type(std::string_view p);

// Moves the whole packets at the front of *stream (what a peer received) to the end of
// *packets. What stays is a partial packet, or a packet whose length field the programs'
// reader refuses (below 8 or above LOCAL_PACKET_MAX_LENGTH) and all that follows it: false then.
bool split_local_packets(std::string *stream, std::vector<std::string> *packets);

// A received packet, decoded with the protocol's own parsers.
struct DecodedPacket {
	bool ok = false;	// a whole packet that parsed for its type
	std::string raw;
	uint64_t length = 0;
	int32_t type = -1;	// -1 also when raw is no whole packet or does not open
	std::string from, to, text;	// receive-message, history-message
	int32_t kind = 0;
	int64_t time = 0;		// history-message
	uint32_t count = 0;		// history-end
	std::string name;		// user-not-found, user-online, user-offline
	int32_t your_id = -1;		// online-users
	struct Entry {
		int32_t id;
		std::string user, host;
	};
	std::vector<Entry> entries;
};
// raw: one packet, length field included (an empty one for none).
DecodedPacket decode_packet(std::string_view raw);

}  // namespace tt

#endif
