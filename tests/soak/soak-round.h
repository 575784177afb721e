// One round of the soak run against a running server: a population of raw and api sessions
// that post, fail and come back, a few clients that stop reading, then an orderly end in
// which every message is accounted for and every session leaves.
#ifndef TOLVAR_TESTS_SOAK_ROUND_H
#define TOLVAR_TESTS_SOAK_ROUND_H

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "testing/support.h"
#include "tests/soak/soak-ledger.h"

namespace soak {

struct RoundConfig {
	std::string title;
	int sessions = 80;	// population kept up by reconnections
	double seconds = 30;	// of random traffic and faults, after the first logins
	double post_rate = 8;	// posts per second over all sessions
	double fault_rate = 1;	// multiplies the fault rates (0: none)
	int stalls = 2;		// clients that stop reading, besides the population
	bool server_faults = false;	// three-server form: NATS nodes and servers are killed too
};

struct Figures {
	uint64_t posts = 0, global_posts = 0, private_posts = 0, nobody_posts = 0, fill_posts = 0, end_markers = 0;
	uint64_t unsent_posts = 0;	// posts whose sender went before they were wholly written
	uint64_t deliveries = 0;	// messages received, over all sessions
	uint64_t proven = 0;		// message and receiver pairs whose delivery was required and found
	uint64_t proven_bus = 0;	// of those, deliveries from another server
	uint64_t proven_gone = 0;	// deliveries of messages from senders that went, which reached
					// all the sessions connected throughout where they reached one
	uint64_t started_raw = 0, started_api = 0;
	uint64_t raw_closes = 0, api_closes = 0, api_hard_closes = 0, kills = 0;
	uint64_t drops = 0;
	double drop_delay_min = 0, drop_delay_max = 0;	// seconds from stopping to read until dropped
	uint64_t survivors = 0;
	uint64_t server_killed = 0;	// sessions that went with their server
	long peak_rss_kb = 0;
	double traffic_seconds = 0;
};

// One server of the run and the account it runs as; the api sessions on it run as that
// account too.
struct Host {
	std::string name;			// its name on the bus ("s1", ...); empty without one
	tt::Account account;
	tt::Server server;
	std::vector<std::string> env;		// its environment beyond the test defaults
	int instance = 0;			// this start of it, unique in the run
	bool up = true;				// running and taking new sessions
	int fd_baseline = -1;
};

struct Cluster;

// What all rounds share: the servers, the random source and the faults.
struct Context {
	std::vector<std::unique_ptr<Host>> hosts;
	Cluster *cluster = nullptr;		// the three-server form: the NATS cluster and its faults
	int next_instance = 0;
	std::mt19937_64 rng;
	Failures failures;
	int next_session_id = 1;
	int next_stall = 1;
};

// Runs one round to its end. False when it had to stop early (the server went, or the
// population never came up); the reason is among ctx->failures.
bool run_round(Context *ctx, const RoundConfig &cfg, Figures *fig);

void print_figures(const RoundConfig &cfg, const Figures &fig);

}  // namespace soak

#endif
