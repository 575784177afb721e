// The server's connection to the message bus (NATS) that joins the servers of one chat on
// several hosts. Nothing here blocks the server's loop: payloads to send are queued for two
// sending threads, and what arrives is queued by the bus client's threads and announced on a
// descriptor the loop watches. Without TOLVAR_NATS_URL in the environment there is no bus and
// the server is a single host.
//
// Two channels: presence (sessions coming and going, heartbeats) goes over plain NATS, which
// may lose messages while a connection is being re-established (the heartbeats repair that);
// chat (messages and the administrator's actions) goes through a JetStream stream kept on up
// to three NATS nodes, published until the stream has acknowledged it (each message carries an
// id, so a retry is never stored twice) and read back in the stream's order, from where this
// server left off after a reconnection.
#ifndef TOLVAR_SERVER_BUS_H
#define TOLVAR_SERVER_BUS_H

#include <cstddef>
#include <cstdint>

// The environment that configures the bus.
constexpr const char BUS_URL_VARIABLE[] = "TOLVAR_NATS_URL";		// URLs, comma-separated
constexpr const char BUS_NAME_VARIABLE[] = "TOLVAR_SERVER_NAME";	// default: the host name
constexpr const char BUS_CREDENTIALS_VARIABLE[] = "TOLVAR_NATS_CREDENTIALS";
constexpr const char BUS_CA_VARIABLE[] = "TOLVAR_NATS_CA";
constexpr const char BUS_CERT_VARIABLE[] = "TOLVAR_NATS_CERT";
constexpr const char BUS_KEY_VARIABLE[] = "TOLVAR_NATS_KEY";
constexpr const char BUS_REPLICAS_VARIABLE[] = "TOLVAR_NATS_REPLICAS";
// "0": only the listed URLs, not the other nodes that the cluster announces.
constexpr const char BUS_DISCOVERY_VARIABLE[] = "TOLVAR_NATS_DISCOVERY";

enum BusChannel : uint8_t {
	BUS_CHANNEL_PRESENCE,
	BUS_CHANNEL_CHAT,
};

// One payload on its way out or in.
struct BusPayload {
	BusPayload *next;
	uint64_t sequence;	// chat, received: the stream's sequence of the batch
	size_t size;
	uint8_t channel;	// BusChannel
	unsigned char data[];
};

// A payload of size bytes to fill (nullptr without memory).
BusPayload *bus_payload_new(size_t size);

// What the bus has done since the start.
struct BusCounters {
	uint64_t sent;		// messages handed to the bus
	uint64_t received;	// messages taken from it
	uint64_t dropped;	// messages dropped: queue full, too large, or refused by the bus
	bool connected;
};

// Reads the settings and starts connecting (in the background: the bus may be away); with
// resume, the chat is read from after the stream's sequence resume_after (where this server
// left off), else from what comes next. Returns 0 without a bus, 1 with one, -1 after
// printing why the settings are wrong.
int bus_start(bool resume, uint64_t resume_after);
// This server's name among the servers of the chat, and the random id of this process.
const char *bus_server_name(void);
uint64_t bus_boot(void);
// The descriptor that is readable while received payloads wait.
int bus_wakeup_fd(void);
// Queues a payload to send (taking it); it is dropped, counted and logged when the queue is
// full.
void bus_send(BusPayload *payload);
// The next received payload, nullptr when none waits (caller frees). Clears the wake-up when
// it returns nullptr.
BusPayload *bus_take(void);
// Counts messages taken from the bus (a chat payload is a batch of them).
void bus_count_received(uint64_t messages);
// The chat payloads up to this sequence of the stream were sent while this server was away
// (0: none).
uint64_t bus_missed_until(void);
// The sequence of the stream that reading began after; -1 until it has begun.
int64_t bus_read_after(void);
// The largest payload the bus takes.
size_t bus_max_payload(void);
void bus_counters(BusCounters *out);

#endif
