// The three-server form of the soak run: a private three-node NATS cluster, the servers that
// meet over it (each as its own account), and the faults injected while a round runs: kill -9
// of a NATS node and of a server, each started again after a moment. A restart waits on a
// thread of its own, so that the round's loop keeps serving its sessions meanwhile.
#ifndef TOLVAR_TESTS_SOAK_CLUSTER_H
#define TOLVAR_TESTS_SOAK_CLUSTER_H

#include <cstdint>
#include <string>

#include "tests/soak/soak-round.h"

namespace soak {

struct FaultConfig {
	double nats_every = 20;		// mean seconds between kills of a NATS node (0: never)
	double server_every = 45;	// mean seconds between kills of a server (0: never)
	double nats_down_min = 1, nats_down_max = 5;	// seconds a killed NATS node stays down
	// Seconds a killed server stays down: longer ones outlast the others' time-out for a
	// server not heard from (9 s), shorter ones end when it starts again.
	double server_down_min = 1, server_down_max = 15;
};

struct FaultFigures {
	uint64_t nats_kills = 0, server_kills = 0;
	double nats_back_max = 0;	// seconds from a NATS node's restart until it is current
	double server_back_max = 0;	// seconds from a server's restart until it reads the stream
};

// What the faults did to the servers, for the round to act on.
struct FaultEvent {
	enum Type { NONE, SERVER_KILLED, SERVER_BACK, SERVER_LOST } type = NONE;
	int host = -1;
};

// Starts three NATS nodes and servers servers as fresh accounts, and waits until every server
// reads the stream. False after adding the reason to ctx->failures.
bool start_cluster(Context *ctx, int servers, const FaultConfig &cfg);
// Stops the servers and the NATS nodes and removes the accounts (also after a failed start).
void stop_cluster(Context *ctx);

// Does what is due without blocking: a kill (when inject holds), a restart, the end of one.
// The first server is never killed: sessions on it live through the whole round.
FaultEvent step_faults(Context *ctx, int64_t now_ms, bool inject);
// Nothing is down or on its way back.
bool faults_quiet(const Context &ctx);
const FaultFigures &fault_figures(const Context &ctx);
// The last lines of each NATS node's log.
std::string cluster_logs(const Context &ctx);

}  // namespace soak

#endif
