// A private NATS cluster on the loopback interface, for the tests of servers that meet over
// NATS: one or three nats-server processes with JetStream, each with its own configuration,
// store and log in one scratch directory, that a test may kill and restart one by one.
#ifndef TOLVAR_TESTING_NATS_H
#define TOLVAR_TESTING_NATS_H

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "testing/support.h"

namespace tt {

struct NatsNode {
	int client_port = -1;
	int cluster_port = -1;	// -1 for a node on its own
	int monitor_port = -1;	// HTTP: /healthz, /jsz, /varz
	std::string config_path;
	std::string store_dir;
	std::string log_path;	// the server's standard output and error
	Process proc;
};

struct NatsCluster {
	std::string dir;	// scratch directory holding every node's files
	std::vector<NatsNode> nodes;	// node i has server_name "n<i+1>"
	pid_t starter = 0;	// the thread that started the nodes: they die with it (those it restarts too)

	// "nats://127.0.0.1:p1,nats://127.0.0.1:p2,...", for natsOptions_SetURL.
	std::string urls() const;
	std::string url(size_t i) const;
};

// Whether the nats-server program is installed and runs.
bool nats_available();
// Starts nodes (1 or 3) servers named n1..n3 with JetStream and, for 3, routes between all of
// them, and waits until every node accepts clients and reports JetStream healthy, so that a
// stream with as many replicas as nodes may be created at once. On failure prints why, with
// the logs, and leaves nothing running. The nodes are killed when the calling thread ends
// (a test killed at its time-out leaves none behind): start them from the test's own thread.
bool start_nats_cluster(size_t nodes, NatsCluster *out);
// Sends sig to node i; a signal that ends the server is waited for.
void kill_nats_node(NatsCluster *c, size_t i, int sig = SIGKILL);
// Starts node i again (after killing it if it still runs) on its ports, configuration and
// store, and waits until it accepts clients and is current with the cluster again. From
// another thread than the one that started the cluster, the node outlives a test that is
// killed; stop_nats_cluster ends it as any other.
bool restart_nats_node(NatsCluster *c, size_t i);
// Kills every node and removes the scratch directory.
void stop_nats_cluster(NatsCluster *c);
// The last lines of every node's log, for the message of a failed test.
std::string nats_logs(const NatsCluster &c);

}  // namespace tt

#endif
