// Flood control from the outside: one raw client posts M private messages to a second as fast
// as its socket takes them, while a third measures the round trip of a private message to
// itself (post, then its own copy back) again and again. With flood control off, with its
// defaults and with a configured rate, in the same run. The table shows how many posts
// arrived (all, in order) at what rate, and the third client's round trips meanwhile. Run as
// root: it creates a throw-away account.
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench-support.h"
#include "protocol/local-protocol.h"
#include "testing/clock.h"

namespace {

struct Options {
	long messages = 10000;
	long rate = 2000;	// posts per second of the configured case
	long seconds = 10;	// longest a case runs
	std::string server;
};

void usage(const char *program)
{
	fprintf(stderr,
		"usage: %s [-m M] [-r RATE] [-t SECONDS] [--server PATH]\n"
		"  -m  messages the flooding client posts (default 10000)\n"
		"  -r  posts per second of the configured case (default 2000; burst 100)\n"
		"  -t  longest a case runs, in seconds (default 10; the defaults hold a flood far longer)\n"
		"  --server  tolvard to measure (default $TOLVAR_BENCH_SERVER, else the built tolvard)\n"
		"Run as root.\n",
		program);
}

struct Case {
	const char *name;
	std::vector<std::string> env;
	// Between two round trips: the measuring client keeps within its own budget, as a
	// person does.
	int pause_us;
};

struct Result {
	long delivered = 0;
	bool in_order = true;
	double seconds = 0;
	std::vector<double> round_trips_ms;
	bool ok = false;
};

// Reads packets of fd (whole, through a buffer) and hands each to f until f returns false.
template <typename F> bool read_packets(int fd, std::string *buffer, F f)
{
	char chunk[65536];
	for (;;) {
		while (buffer->size() >= 8) {
			uint64_t length;
			memcpy(&length, buffer->data(), 8);
			if (buffer->size() < length + 8)
				break;
			std::string packet = buffer->substr(0, length + 8);
			buffer->erase(0, length + 8);
			if (!f(packet))
				return true;
		}
		ssize_t r = recv(fd, chunk, sizeof chunk, 0);
		if (r <= 0)
			return false;
		buffer->append(chunk, (size_t)r);
	}
}

std::string text_of(const std::string &packet)
{
	LocalPacketView v;
	MessageView m;
	if (local_packet_open(reinterpret_cast<const unsigned char *>(packet.data()), &v) < 0 ||
	    v.type != LOCAL_PACKET_RECEIVE_MESSAGE || local_parse_message(v, &m) < 0)
		return std::string();
	return std::string(m.text);
}

Result run_case(const tt::Account &account, const Options &o, const Case &c)
{
	Result res;
	tt::Server server;
	if (!tt::start_server(account, &server, o.server, c.env)) {
		fprintf(stderr, "the server did not start\n");
		return res;
	}
	std::vector<int> fds;
	if (!bench::login_clients(server.socket_path, 3, "fl", &fds)) {
		tt::stop_server(&server);
		return res;
	}
	int flooder = fds[0], sink = fds[1], pinger = fds[2];
	std::string flood;
	for (long i = 0; i < o.messages; i++)
		flood += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "fl0001", MESSAGE_KIND_PLAIN,
					    "flood " + std::to_string(i));
	std::atomic<bool> done(false);
	std::atomic<long> delivered(0);
	std::atomic<bool> in_order(true);
	int64_t start = tt::now_ns();
	std::atomic<int64_t> end(0);
	std::thread writer([&] { tt::write_all(flooder, flood); });
	// The flooder's own copies, read so that its socket never fills.
	std::thread copies([&] {
		std::string buffer;
		read_packets(flooder, &buffer, [&](const std::string &) { return !done; });
	});
	std::thread reader([&] {
		std::string buffer;
		read_packets(sink, &buffer, [&](const std::string &p) {
			long i = delivered.load();
			if (text_of(p) != "flood " + std::to_string(i))
				in_order = false;
			delivered = i + 1;
			if (i + 1 == o.messages) {
				end = tt::now_ns();
				return false;
			}
			return true;
		});
	});
	std::string ping_buffer;
	int64_t limit = start + o.seconds * 1000000000LL;
	for (long n = 0; end == 0 && tt::now_ns() < limit; n++) {
		std::string text = "ping " + std::to_string(n);
		int64_t sent = tt::now_ns();
		if (!tt::write_all(pinger, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "fl0002", MESSAGE_KIND_PLAIN, text)))
			break;
		bool back = read_packets(pinger, &ping_buffer, [&](const std::string &p) { return text_of(p) != text; });
		if (!back)
			break;
		res.round_trips_ms.push_back((double)(tt::now_ns() - sent) / 1e6);
		usleep((useconds_t)c.pause_us);
	}
	int64_t stop = end != 0 ? end.load() : tt::now_ns();
	done = true;
	// Whatever is still held or in flight ends with the connections.
	for (int fd : fds)
		shutdown(fd, SHUT_RDWR);
	writer.join();
	copies.join();
	reader.join();
	res.delivered = delivered;
	res.in_order = in_order;
	res.seconds = (double)(stop - start) / 1e9;
	res.ok = true;
	bench::close_all(&fds);
	tt::stop_server(&server);
	return res;
}

}  // namespace

int main(int argc, char **argv)
{
	Options o;
	std::string server_opt;
	bench::parse_options(argc, argv,
			     {bench::count_option('m', &o.messages), bench::count_option('r', &o.rate),
			      bench::count_option('t', &o.seconds), bench::text_option("server", &server_opt)},
			     usage);
	o.server = bench::server_binary(server_opt, "TOLVAR_BENCH_SERVER", "tolvard");
	bench::begin(argv[0], 0);
	tt::Account account = bench::make_account("tvfld");
	const Case cases[] = {
		{"off", tt::FLOOD_OFF, 200},
		// The defaults allow 10 posts a second.
		{"defaults", tt::FLOOD_DEFAULT, 150000},
		{"configured",
		 {"TOLVAR_FLOOD_POSTS_PER_SECOND=" + std::to_string(o.rate), "TOLVAR_FLOOD_POST_BURST=100",
		  "TOLVAR_FLOOD_BYTES_PER_SECOND=0"},
		 (int)(2000000 / o.rate) + 1},
	};
	bench::Table t;
	t.header = {"flood control", "posts delivered", "in order", "posts/s", "round trip median", "p99", "max",
		    "round trips"};
	bool ok = true;
	for (const Case &c : cases) {
		Result r = run_case(account, o, c);
		if (!r.ok) {
			ok = false;
			break;
		}
		std::string name = c.name;
		if (name == "configured")
			name = bench::format("%ld/s, burst 100", o.rate);
		t.rows.push_back({name, bench::format("%ld of %ld", r.delivered, o.messages), r.in_order ? "yes" : "NO",
				  bench::format("%.0f", (double)r.delivered / r.seconds),
				  bench::format("%.3f ms", bench::median(r.round_trips_ms)),
				  bench::format("%.3f ms", bench::percentile(r.round_trips_ms, 0.99)),
				  bench::format("%.3f ms", bench::percentile(r.round_trips_ms, 1.0)),
				  std::to_string(r.round_trips_ms.size())});
	}
	tt::remove_account(account);
	if (!ok)
		return 1;
	printf("Flood: one client posts %ld private messages as fast as it can; another measures the round trip\n"
	       "of a message to itself meanwhile, at half the rate its own budget allows (at most %ld s per case;\n"
	       "the defaults deliver a burst of 60 and then 10 a second). %s\n\n",
	       o.messages, o.seconds, bench::machine_line().c_str());
	t.print();
	return 0;
}
