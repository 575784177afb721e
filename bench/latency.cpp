// Round-trip time of a private message between two API sessions: alice's program sends to
// bob, bob's program answers as soon as the message arrives, and the time runs until the
// answer reaches alice's program. Both sessions are tolvard -c on pipes (no SSH), run as the
// account with the environment an SSH daemon gives; this process plays both programs.
// Measured with the server idle and with other clients connected. Then how long one large post
// holds everybody up when many sessions never read: alice's program posts to GLOBAL while raw
// clients of one user read nothing, and the time runs until a round trip after it has come
// back. With -H, the cost of a history request: the time from asking for the last K messages
// to the end marker, on a raw connection and through an API session. With --servers, the idle
// round trip also between sessions on two servers of one chat joined through a three-node NATS
// cluster. Run as root.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/tolvar-api-client.h"
#include "bench/bench-support.h"
#include "common/holders.h"
#include "protocol/local-protocol.h"

namespace {

constexpr int WARM_UP = 200;
constexpr int TIMEOUT_MS = 10000;
// Far more than the freeze of a server that waits for each stalled session in turn.
constexpr int FREEZE_TIMEOUT_MS = 300000;

struct Options {
	long messages = 10000;
	long others = 1000;
	long repetitions = 1;
	long stalled = 20;
	long post_bytes = 300000;
	long history = 0;	// -H: messages kept and asked for (0: no history case)
	long history_requests = 200;
	long servers = 1;	// --servers: more than 1, also the round trip over NATS
	std::string server;
};

void usage(const char *program)
{
	fprintf(stderr,
		"usage: %s [-m M] [-c C] [-s S] [-b B] [-r R] [-H K] [--server PATH] [--servers S]\n"
		"  -m  round trips measured per run (default 10000; 0: only the freeze)\n"
		"  -c  other clients connected for the second case (default 1000; at most 65000)\n"
		"  -s  sessions that never read while one large post is sent (default 20; 0: no freeze)\n"
		"  -b  size of that post in bytes (default 300000; at most 1000000)\n"
		"  -r  runs of each case, pooled (default 1)\n"
		"  -H  also time history requests for the last K messages (K kept first; at most 200\n"
		"      by the server's default limit; 0: no such case, the default)\n"
		"  --server  tolvard to measure (default $TOLVAR_BENCH_SERVER, else the built tolvard)\n"
		"  --servers also the idle round trip between sessions on two of S servers (2 or 3) joined\n"
		"            through a three-node NATS cluster on loopback, in the same run\n"
		"Run as root.\n",
		program);
}

struct Session {
	tt::Process proc;
	bench::ApiStream in;
	std::string name;
};

bool start_session(const tt::Account &a, const std::string &exe, const std::string &name, Session *s)
{
	s->name = name;
	tt::Spec spec = tt::session_spec(a, name, tt::ssh_env(a, "api"), exe);
	// Logged in too: the server may read a post to this session before a login that came later
	// from a higher descriptor.
	if (!tt::spawn(spec, &s->proc) || !bench::api_handshake(&s->proc, &s->in, TIMEOUT_MS) ||
	    !tt::Syslog::instance().wait_for("user " + name + " login", -1, TIMEOUT_MS)) {
		fprintf(stderr, "latency: the session of %s did not start\n", name.c_str());
		return false;
	}
	return true;
}

bool send_to(Session *from, const std::string &to, const std::string &text)
{
	size_t size = 0;
	MallocPtr<unsigned char> p(tolvarapi::build_send_message(to, TOLVAR_API_KIND_PLAIN, text, &size));
	return p != nullptr && tt::write_all(from->proc.in, p.get(), size);
}

// One round trip: a to b, b's answer back to a. Each program also gets a copy of what it
// sent; those are skipped while waiting for the other's message.
bool round_trip(Session *a, Session *b, const std::string &text, int timeout_ms = TIMEOUT_MS)
{
	return send_to(a, b->name, text) && b->in.next_message_from(a->name, timeout_ms) &&
	       send_to(b, a->name, text) && a->in.next_message_from(b->name, timeout_ms);
}

// Logs n raw clients in as one user and reads what their logins bring; from then on they
// read nothing.
bool login_stalled(const std::string &socket_path, long n, std::vector<int> *fds)
{
	for (long i = 0; i < n; i++) {
		int fd = tt::connect_socket(socket_path);
		if (fd < 0)
			return false;
		fds->push_back(fd);
		if (!tt::write_all(fd, tt::login_packet("stalled", "192.0.2.7", "UTF-8")) ||
		    !tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)))
			return false;
		for (;;) {
			std::string p = tt::read_local_packet(fd, TIMEOUT_MS);
			if (p.empty())
				return false;
			if (tt::packet_type(p) == LOCAL_PACKET_ONLINE_USERS)
				break;
		}
	}
	return true;
}

// The time in milliseconds from a's post of size bytes to GLOBAL, with stalled sessions that
// never read, until a round trip between a and b after it has come back.
bool measure_freeze(const std::string &socket_path, Session *a, Session *b, const Options &o, std::vector<double> *out)
{
	std::vector<int> stalled;
	bool ok = login_stalled(socket_path, o.stalled, &stalled);
	std::string post((size_t)o.post_bytes, 'p');
	int64_t start = tt::now_ns();
	ok = ok && send_to(a, "GLOBAL", post) && a->in.next_message_from(a->name, FREEZE_TIMEOUT_MS) &&
	     b->in.next_message_from(a->name, FREEZE_TIMEOUT_MS) && round_trip(a, b, "ping", FREEZE_TIMEOUT_MS);
	if (ok)
		out->push_back((double)(tt::now_ns() - start) / 1e6);
	bench::close_all(&stalled);
	return ok;
}

// Round-trip times in microseconds, after a warm-up.
bool measure(Session *a, Session *b, long count, std::vector<double> *out)
{
	std::string text = "ping: a private message of about the size people type";
	for (long i = -WARM_UP; i < count; i++) {
		int64_t start = tt::now_ns();
		if (!round_trip(a, b, text)) {
			fprintf(stderr, "latency: round trip %ld (after %d of warm-up) failed after %.0f ms\n", i, WARM_UP,
				(double)(tt::now_ns() - start) / 1e6);
			return false;
		}
		if (i >= 0)
			out->push_back((double)(tt::now_ns() - start) / 1000.0);
	}
	return true;
}

// Reads packets of fd until one of type arrives.
bool read_until_type(int fd, int32_t type)
{
	for (;;) {
		std::string p = tt::read_local_packet(fd, TIMEOUT_MS);
		if (p.empty())
			return false;
		if (tt::packet_type(p) == type)
			return true;
	}
}

// Times in microseconds from a history request for the last k messages (k of 64 bytes posted
// to GLOBAL first) to its end marker: on a raw connection (*raw), and through a's API
// session (*api).
bool measure_history(const std::string &socket_path, Session *a, long k, long count, std::vector<double> *raw,
		     std::vector<double> *api)
{
	std::vector<int> fds;
	bool ok = bench::login_clients(socket_path, 2, "hist", &fds);
	std::string post = tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN, std::string(64, 'h'));
	for (long i = 0; ok && i < k; i++)
		ok = tt::write_all(fds[0], post) && read_until_type(fds[0], LOCAL_PACKET_RECEIVE_MESSAGE) &&
		     read_until_type(fds[1], LOCAL_PACKET_RECEIVE_MESSAGE);
	size_t size = 0;
	MallocPtr<unsigned char> local(local_packet_build_get_history((uint32_t)k, &size));
	std::string ask_local(reinterpret_cast<char *>(local.get()), size);
	MallocPtr<unsigned char> api_ask(tolvarapi::build_get_history((uint16_t)k, &size));
	std::string ask_api(reinterpret_cast<char *>(api_ask.get()), size);
	for (long i = 0; ok && i < count; i++) {
		int64_t start = tt::now_ns();
		ok = tt::write_all(fds[1], ask_local) && read_until_type(fds[1], LOCAL_PACKET_HISTORY_END);
		raw->push_back((double)(tt::now_ns() - start) / 1000.0);
	}
	// The API session saw the posts as well: they are read before it asks.
	std::string packet;
	for (long i = 0; ok && i < k; i++)
		ok = a->in.next_message_from("hist0000", TIMEOUT_MS);
	for (long i = 0; ok && i < count; i++) {
		int64_t start = tt::now_ns();
		ok = tt::write_all(a->proc.in, ask_api);
		while (ok && (ok = a->in.next(&packet, TIMEOUT_MS)) && (uint8_t)packet[4] != TOLVAR_API_HISTORY_END) {
		}
		api->push_back((double)(tt::now_ns() - start) / 1000.0);
	}
	bench::close_all(&fds);
	return ok;
}

// Round trips between sessions on the first two of o.servers servers joined over NATS; *sent
// and *received get the bus messages all the servers handed to the bus and took from it, per
// private message.
bool measure_over_bus(const Options &o, std::vector<double> *out, double *sent, double *received)
{
	bench::BusChat chat;
	if (!bench::start_bus_chat(o.server, (int)o.servers, {}, &chat))
		return false;
	Session erin, fred;
	uint64_t sent0 = 0, received0 = 0, sent1 = 0, received1 = 0;
	bool ok = start_session(chat.accounts[0], o.server, "erin", &erin) &&
		  start_session(chat.accounts[1], o.server, "fred", &fred) &&
		  bench::wait_bus_sessions(chat, 2, TIMEOUT_MS) && bench::bus_totals(chat, &sent0, &received0);
	for (long r = 0; ok && r < o.repetitions; r++)
		ok = measure(&erin, &fred, o.messages, out);
	ok = ok && bench::bus_totals(chat, &sent1, &received1);
	double messages = 2.0 * (double)(WARM_UP + o.messages) * (double)o.repetitions;
	*sent = (double)(sent1 - sent0) / messages;
	*received = (double)(received1 - received0) / messages;
	erin.proc.kill_now(SIGKILL);
	fred.proc.kill_now(SIGKILL);
	erin.proc.wait(5000);
	fred.proc.wait(5000);
	bench::stop_bus_chat(&chat);
	return ok;
}

double mean(const std::vector<double> &v)
{
	double sum = 0;
	for (double x : v)
		sum += x;
	return v.empty() ? 0 : sum / (double)v.size();
}

// Microseconds as milliseconds for the tables.
std::string ms(double us) { return bench::format("%.3f ms", us / 1000.0); }

std::vector<std::string> row(const std::string &what, const std::vector<double> &us, const char *target)
{
	return {what, std::to_string(us.size()), ms(bench::percentile(us, 0.5)), ms(bench::percentile(us, 0.99)),
		ms(bench::percentile(us, 1.0)), ms(mean(us)), target};
}

}  // namespace

int main(int argc, char **argv)
{
	Options o;
	std::string server_opt;
	bench::parse_options(argc, argv,
			     {bench::count_or_zero_option('m', &o.messages), bench::count_option('c', &o.others, 65000),
			      bench::count_or_zero_option('s', &o.stalled), bench::count_option('b', &o.post_bytes, 1000000),
			      bench::count_option('r', &o.repetitions), bench::count_or_zero_option('H', &o.history, 65535),
			      bench::text_option("server", &server_opt), bench::count_option(0, &o.servers, 3, "servers")},
			     usage);
	o.server = bench::server_binary(server_opt, "TOLVAR_BENCH_SERVER", "tolvard");
	if (o.messages == 0 && o.stalled == 0 && o.history == 0) {
		usage(argv[0]);
		return 255;
	}
	bench::begin(argv[0], o.others + o.stalled + 256);
	tt::Account account = bench::make_account("tvlat");
	tt::Server server;
	// The stalled sessions are all of one user: more than the server lets one user have.
	bench::start_server_or_exit(argv[0], account, o.server, &server, {"TOLVAR_SESSIONS_PER_USER=0"});
	Session alice, bob;
	std::vector<double> idle, busy, freeze, history_raw, history_api;
	std::vector<int> others;
	bool ok = start_session(account, o.server, "alice", &alice) && start_session(account, o.server, "bob", &bob);
	for (long r = 0; ok && o.stalled > 0 && r < o.repetitions; r++)
		ok = measure_freeze(server.socket_path, &alice, &bob, o, &freeze);
	for (long r = 0; ok && o.history > 0 && r < o.repetitions; r++)
		ok = measure_history(server.socket_path, &alice, o.history, o.history_requests, &history_raw, &history_api);
	for (long r = 0; ok && o.messages > 0 && r < o.repetitions; r++)
		ok = measure(&alice, &bob, o.messages, &idle);
	// Two sessions of their own once the others are logged in (carol and dave, the same
	// programs): programs that do not read would not take one online announcement per other
	// client, and the server would drop them.
	alice.proc.kill_now(SIGKILL);
	bob.proc.kill_now(SIGKILL);
	alice.proc.wait(5000);
	bob.proc.wait(5000);
	Session carol, dave;
	ok = ok && (o.messages == 0 || (bench::login_clients(server.socket_path, (int)o.others, "idle", &others) &&
					start_session(account, o.server, "carol", &carol) &&
					start_session(account, o.server, "dave", &dave)));
	for (long r = 0; ok && o.messages > 0 && r < o.repetitions; r++)
		ok = measure(&carol, &dave, o.messages, &busy);
	bench::close_all(&others);
	tt::stop_server(&server);
	tt::remove_account(account);
	if (!ok) {
		fprintf(stderr, "%s: a round trip failed or took over %d ms\n", argv[0], TIMEOUT_MS);
		return 1;
	}
	// Without NATS (or when the servers do not join) the figures above still stand.
	std::vector<double> over_bus;
	double bus_sent = 0, bus_received = 0;
	bool bus_wanted = o.servers > 1 && o.messages > 0;
	if (bus_wanted && !measure_over_bus(o, &over_bus, &bus_sent, &bus_received))
		over_bus.clear();

	if (o.messages > 0) {
		printf("Latency: round trip of a private message between two API sessions (tolvard -c on pipes, "
		       "no SSH): alice to bob, bob's answer back to alice. %d round trips of warm-up before each "
		       "run.\n\n",
		       WARM_UP);
		bench::Table t;
		t.header = {"server", "round trips", "p50", "p99", "max", "mean", "target (p99)"};
		t.rows.push_back(row("idle", idle, "under 1 ms"));
		t.rows.push_back(row(bench::format("%ld other clients connected", o.others), busy, "under 5 ms"));
		t.print();
	}
	if (!over_bus.empty()) {
		printf("\nOver NATS: the idle round trip again with alice's and bob's sessions on two different "
		       "servers of %ld, each its own account, joined through a three-node NATS cluster on loopback "
		       "(the stream kept on all three nodes), in the same run. Bus messages: what all the servers "
		       "together handed to the bus and took from it, per private message (warm-up and presence "
		       "heartbeats included).\n\n",
		       o.servers);
		bench::Table t;
		t.header = {"sessions", "round trips", "p50", "p99", "max", "mean", "bus messages per message: sent, received"};
		t.rows.push_back(row("on one server (idle, above)", idle, "-"));
		t.rows.push_back(row("on two servers over NATS", over_bus,
				     bench::format("%.2f, %.2f", bus_sent, bus_received).c_str()));
		std::vector<std::string> added = {"added by the bus", "-"};
		for (double q : {0.5, 0.99, 1.0})
			added.push_back(ms(bench::percentile(over_bus, q) - bench::percentile(idle, q)));
		added.push_back(ms(mean(over_bus) - mean(idle)));
		added.push_back("");
		t.rows.push_back(added);
		t.print();
	} else if (bus_wanted) {
		printf("\nOver NATS: failed (standard error says why).\n");
	}
	if (o.stalled > 0) {
		printf("%sFreeze: alice's program posts %ld bytes to GLOBAL while %ld raw sessions of one other user "
		       "read nothing; the time from the post until a round trip alice to bob and back after it has "
		       "come back, %ld run(s).\n\n",
		       o.messages > 0 ? "\n" : "", o.post_bytes, o.stalled, o.repetitions);
		bench::Table t;
		t.header = {"sessions that never read", "post", "median", "max", "target"};
		t.rows.push_back({std::to_string(o.stalled), bench::format("%ld bytes", o.post_bytes),
				  bench::format("%.2f s", bench::median(freeze) / 1000.0),
				  bench::format("%.2f s", bench::percentile(freeze, 1.0) / 1000.0),
				  "one send time-out (2 s)"});
		t.print();
	}
	if (o.history > 0) {
		printf("%sHistory: after %ld messages of 64 bytes to GLOBAL, the time from a request for the last %ld "
		       "to its end marker; %ld requests per run, %ld run(s).\n\n",
		       o.messages > 0 || o.stalled > 0 ? "\n" : "", o.history, o.history, o.history_requests,
		       o.repetitions);
		bench::Table t;
		t.header = {"asked by", "requests", "p50", "p99", "max", "mean", "target (p99)"};
		t.rows.push_back(row("a raw connection (the server's part)", history_raw, "under 5 ms"));
		t.rows.push_back(row("an API session, version 2", history_api, "under 10 ms"));
		t.print();
	}
	printf("\nServer: %s. Machine: %s.\n", o.server.c_str(), bench::machine_line().c_str());
	return 0;
}
