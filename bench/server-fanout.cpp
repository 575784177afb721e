// Message fan-out of the real server: one sender posts to GLOBAL, every logged-in client
// reads every message. Prints messages and deliveries per second for a few text sizes, with
// and without charset conversion. Run as root (it creates a throw-away account):
//   server-fanout-bench [clients [messages]]
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "server/local-protocol.h"
#include "tests/support/test-support.h"

namespace {

struct Reader {
	int fd = -1;
	std::string buffer;
	std::atomic<long> packets{0};	// receive-message packets seen
};

// Counts whole receive-message packets in what arrived; keeps a partial one.
void count_packets(Reader *r)
{
	size_t at = 0;
	while (r->buffer.size() - at >= 12) {
		uint64_t length;
		int32_t type;
		memcpy(&length, r->buffer.data() + at, 8);
		memcpy(&type, r->buffer.data() + at + 8, 4);
		if (r->buffer.size() - at < length + 8)
			break;
		if (type == LOCAL_PACKET_RECEIVE_MESSAGE)
			r->packets++;
		at += (size_t)length + 8;
	}
	r->buffer.erase(0, at);
}

// Reads every client until each has seen target messages; false if one ends first.
bool read_all(std::vector<Reader> *readers, long target)
{
	std::vector<struct pollfd> fds;
	for (const Reader &r : *readers)
		fds.push_back({r.fd, POLLIN, 0});
	size_t done = 0;
	std::vector<char> buf(1 << 16);
	while (done < readers->size()) {
		if (poll(fds.data(), fds.size(), 30000) <= 0)
			return false;
		for (size_t i = 0; i < fds.size(); i++) {
			if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			ssize_t n = read(fds[i].fd, buf.data(), buf.size());
			if (n <= 0)
				return false;
			Reader &r = (*readers)[i];
			r.buffer.append(buf.data(), (size_t)n);
			count_packets(&r);
			if (r.packets >= target) {
				fds[i].fd = -1;
				done++;
			}
		}
	}
	return true;
}

// Logs in clients (the first with sender_encoding, every other one with other_encoding on
// odd positions) and reads their announcements away.
bool connect_clients(const tt::Server &server, int clients, const char *sender_encoding,
		     const char *other_encoding, std::vector<int> *fds)
{
	for (int i = 0; i < clients; i++) {
		int fd = tt::connect_socket(server.socket_path);
		if (fd < 0)
			return false;
		const char *encoding = i == 0 ? sender_encoding : (i % 2 ? other_encoding : sender_encoding);
		char name[32];
		snprintf(name, sizeof name, "user%03d", i);
		if (!tt::write_all(fd, tt::login_packet(name, "192.0.2.7", encoding)))
			return false;
		fds->push_back(fd);
	}
	for (int fd : *fds) {
		if (!tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)))
			return false;
		for (;;) {
			std::string p = tt::read_local_packet(fd, 10000);
			if (p.empty())
				return false;
			if (tt::packet_type(p) == LOCAL_PACKET_ONLINE_USERS)
				break;
		}
	}
	return true;
}

void run_case(const tt::Account &account, int clients, long messages, size_t text_size, bool convert)
{
	tt::Server server;
	if (!tt::start_server(account, &server)) {
		fprintf(stderr, "server did not start\n");
		exit(1);
	}
	std::vector<int> fds;
	if (!connect_clients(server, clients, "UTF-8", convert ? "ISO-8859-1" : "UTF-8", &fds)) {
		fprintf(stderr, "clients could not log in\n");
		exit(1);
	}
	std::string text(text_size, 'a');
	for (size_t i = 0; i < text_size; i += 16)
		text.replace(i, std::min<size_t>(2, text_size - i), text_size - i >= 2 ? "\xc3\xa9" : "a");
	std::string packet = tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN, text);

	std::vector<Reader> readers(fds.size());
	for (size_t i = 0; i < fds.size(); i++)
		readers[i].fd = fds[i];
	auto start = std::chrono::steady_clock::now();
	std::atomic<bool> ok{true};
	std::thread reader([&] { ok = read_all(&readers, messages); });
	// The sender's own copy arrives on fds[0], which the reader drains with the others.
	std::string batch;
	for (int i = 0; i < 16; i++)
		batch += packet;
	long sent = 0;
	while (sent < messages) {
		long n = std::min<long>(16, messages - sent);
		if (!tt::write_all(fds[0], batch.data(), packet.size() * (size_t)n)) {
			ok = false;
			break;
		}
		sent += n;
		// Keep the sender at most a few batches ahead of the slowest reader.
		for (;;) {
			long slowest = messages;
			for (const Reader &r : readers)
				slowest = std::min(slowest, r.packets.load());
			if (sent - slowest <= 64 || !ok)
				break;
			std::this_thread::sleep_for(std::chrono::microseconds(200));
		}
	}
	reader.join();
	double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	for (int fd : fds)
		close(fd);
	server.proc.kill_now(9);
	server.proc.wait(10000);
	if (!ok) {
		fprintf(stderr, "a client lost its connection or timed out\n");
		exit(1);
	}
	double deliveries = (double)messages * clients;
	printf("%4d clients  %7zu-byte text  %-10s  %9.0f messages/s  %10.0f deliveries/s  %8.1f MiB/s delivered\n",
	       clients, text_size, convert ? "half conv." : "no conv.", messages / seconds, deliveries / seconds,
	       deliveries * (double)(text_size + 96) / seconds / (1 << 20));
	fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
	int clients = argc > 1 ? atoi(argv[1]) : 100;
	long messages = argc > 2 ? atol(argv[2]) : 2000;
	if (clients < 1 || clients > 1000 || messages < 1) {
		fprintf(stderr, "usage: %s [clients [messages]]\n", argv[0]);
		return 255;
	}
	if (geteuid() != 0) {
		fprintf(stderr, "%s: run as root (it creates an account for the server)\n", argv[0]);
		return 1;
	}
	// Keeps the server's records off the host's log.
	tt::Syslog::instance();
	tt::Account account;
	if (!tt::create_account(tt::unique_account_name("tvbench"), &account))
		return 1;
	printf("server fan-out: one sender, every client logged in, messages to GLOBAL\n");
	for (size_t size : {64, 1024, 16384}) {
		run_case(account, clients, messages, size, false);
		run_case(account, clients, size > 1024 ? messages / 4 : messages, size, true);
	}
	tt::remove_account(account);
	return 0;
}
