#include "testing/nats.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "testing/proc-files.h"
#include "testing/sshd.h"

namespace tt {

namespace {

const char *const NATS_SERVER_PATHS[] = {"/usr/sbin/nats-server", "/usr/bin/nats-server"};
constexpr int START_TIMEOUT_MS = 30000;
constexpr size_t LOG_TAIL_LINES = 30;

std::string nats_server_path()
{
	for (const char *p : NATS_SERVER_PATHS)
		if (access(p, X_OK) == 0)
			return p;
	return std::string();
}

std::string node_name(size_t i) { return "n" + std::to_string(i + 1); }

// The last n lines of text.
std::string tail_lines(const std::string &text, size_t n)
{
	size_t from = text.size();
	if (from > 0 && text[from - 1] == '\n')
		from--;
	for (size_t k = 0; k < n; k++) {
		size_t nl = from == 0 ? std::string::npos : text.rfind('\n', from - 1);
		if (nl == std::string::npos)
			return text;
		from = nl;
	}
	return text.substr(from + 1);
}

// A free loopback port that none of used has.
int fresh_port(std::vector<int> *used)
{
	for (int tries = 0; tries < 20; tries++) {
		int p = free_port();
		bool taken = false;
		for (int u : *used)
			taken = taken || u == p;
		if (p > 0 && !taken) {
			used->push_back(p);
			return p;
		}
	}
	return -1;
}

// A name of this cluster's own (from its scratch directory's): a node refuses routes from
// nodes of another name, such as those of a cluster left running by a crashed test, which keep
// dialling the ports of their dead peers when free_port hands them out again.
std::string cluster_name(const NatsCluster &c) { return "tolvar-test-" + c.dir.substr(c.dir.rfind('-') + 1); }

bool write_config(const NatsCluster &c, size_t i)
{
	const NatsNode &n = c.nodes[i];
	FILE *f = fopen(n.config_path.c_str(), "w");
	if (f == nullptr) {
		perror(n.config_path.c_str());
		return false;
	}
	fprintf(f,
		"server_name: %s\nlisten: 127.0.0.1:%d\nhttp: 127.0.0.1:%d\nmax_payload: 4MB\n"
		"jetstream {\n\tstore_dir: \"%s\"\n\tmax_memory_store: 256MB\n\tmax_file_store: 1GB\n}\n",
		node_name(i).c_str(), n.client_port, n.monitor_port, n.store_dir.c_str());
	if (c.nodes.size() > 1) {
		fprintf(f, "cluster {\n\tname: %s\n\tlisten: 127.0.0.1:%d\n\troutes: [\n", cluster_name(c).c_str(),
			n.cluster_port);
		for (size_t j = 0; j < c.nodes.size(); j++)
			if (j != i)
				fprintf(f, "\t\tnats-route://127.0.0.1:%d\n", c.nodes[j].cluster_port);
		fprintf(f, "\t]\n}\n");
	}
	return fclose(f) == 0;
}

// Runs the server in the foreground; the shell only opens its log and makes way for it. With
// tied, the server is killed when the calling thread ends (so that a test killed at its
// time-out leaves no server behind); a node restarted by another thread, which may end
// first, is not tied.
bool spawn_node(NatsNode *n, bool tied)
{
	n->proc = Process();	// closes the pipes of an earlier run
	Spec s;
	std::string run = tied ? "exec /usr/bin/setpriv --pdeathsig KILL " : "exec ";
	s.argv = {"/bin/sh", "-c",
		  run + shell_quote(nats_server_path()) + " -c " + shell_quote(n->config_path) + " >>" +
			  shell_quote(n->log_path) + " 2>&1"};
	s.env = {"PATH=/usr/sbin:/usr/bin:/bin"};
	s.stdin_null = true;
	return spawn(s, &n->proc);
}

// The status of GET path from 127.0.0.1:port, with the body in *body; -1 without an answer.
// HTTP/1.0: the server closes the connection after its answer.
int http_get(int port, const std::string &path, std::string *body)
{
	int fd = connect_tcp(port);
	if (fd < 0)
		return -1;
	std::string answer;
	bool whole = write_all(fd, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n") &&
		     read_to_eof(fd, 2000, &answer);
	close(fd);
	size_t head_end = answer.find("\r\n\r\n");
	size_t space = answer.find(' ');
	if (!whole || answer.compare(0, 5, "HTTP/") != 0 || head_end == std::string::npos || space > head_end)
		return -1;
	*body = answer.substr(head_end + 4);
	return atoi(answer.c_str() + space + 1);
}

// Whether node n takes clients and is healthy: /healthz answers 200 once JetStream is on
// and, in a cluster, the node knows the meta leader and has caught up with it and with the
// streams and consumers it holds (js-enabled-only=true would answer before a leader exists,
// when a stream with replicas cannot be created yet). *why tells what is missing.
bool node_ready(NatsNode *n, const std::string &name, std::string *why)
{
	if (n->proc.wait(0)) {
		*why = name + " has ended with status " + std::to_string(n->proc.exit_code());
		return false;
	}
	int fd = connect_tcp(n->client_port);
	if (fd < 0) {
		*why = name + " does not accept clients on port " + std::to_string(n->client_port);
		return false;
	}
	close(fd);
	std::string body;
	int status = http_get(n->monitor_port, "/healthz", &body);
	if (status != 200) {
		*why = name + " /healthz: " + std::to_string(status) + " " + body;
		return false;
	}
	return true;
}

// Waits until the nodes first..last-1 are ready, or the node has ended, or the time is up.
bool wait_ready(NatsCluster *c, size_t first, size_t last, const char *caller)
{
	int64_t end = now_ms() + scaled_ms(START_TIMEOUT_MS);
	std::string why;
	for (size_t i = first; i < last;) {
		if (node_ready(&c->nodes[i], node_name(i), &why)) {
			i++;
			continue;
		}
		if (c->nodes[i].proc.wait(0) || now_ms() >= end) {
			fprintf(stderr, "%s: %s\n%s", caller, why.c_str(), nats_logs(*c).c_str());
			return false;
		}
		usleep(20000);
	}
	return true;
}

}  // namespace

std::string NatsCluster::url(size_t i) const
{
	return "nats://127.0.0.1:" + std::to_string(nodes.at(i).client_port);
}

std::string NatsCluster::urls() const
{
	std::string s;
	for (size_t i = 0; i < nodes.size(); i++)
		s += (i > 0 ? "," : "") + url(i);
	return s;
}

bool nats_available()
{
	std::string path = nats_server_path();
	if (path.empty())
		return false;
	Spec s;
	s.argv = {path, "--version"};
	std::string out, err;
	return run(s, &out, &err, 5000) == 0;
}

namespace {

bool start_nodes(size_t nodes, NatsCluster *out)
{
	out->dir = make_scratch_dir("tolvar-nats");
	if (out->dir.empty()) {
		perror("start_nats_cluster: mkdtemp");
		return false;
	}
	out->nodes.clear();
	out->nodes.resize(nodes);
	out->starter = gettid();
	std::vector<int> used;
	for (size_t i = 0; i < nodes; i++) {
		NatsNode &n = out->nodes[i];
		n.client_port = fresh_port(&used);
		n.cluster_port = nodes > 1 ? fresh_port(&used) : -1;
		n.monitor_port = fresh_port(&used);
		n.config_path = out->dir + "/" + node_name(i) + ".conf";
		n.store_dir = out->dir + "/" + node_name(i);
		n.log_path = out->dir + "/" + node_name(i) + ".log";
		if (n.client_port < 0 || n.monitor_port < 0 || (nodes > 1 && n.cluster_port < 0)) {
			fprintf(stderr, "start_nats_cluster: no free port\n");
			return false;
		}
	}
	for (size_t i = 0; i < nodes; i++) {
		if (!write_config(*out, i))
			return false;
		if (!spawn_node(&out->nodes[i], true)) {
			perror("start_nats_cluster: spawn");
			return false;
		}
	}
	return wait_ready(out, 0, nodes, "start_nats_cluster");
}

}  // namespace

bool start_nats_cluster(size_t nodes, NatsCluster *out)
{
	if (nodes != 1 && nodes != 3) {
		fprintf(stderr, "start_nats_cluster: %zu nodes (1 or 3 are served)\n", nodes);
		return false;
	}
	if (nats_server_path().empty()) {
		fprintf(stderr, "start_nats_cluster: nats-server is not installed\n");
		return false;
	}
	if (start_nodes(nodes, out))
		return true;
	stop_nats_cluster(out);
	return false;
}

void kill_nats_node(NatsCluster *c, size_t i, int sig)
{
	Process &p = c->nodes.at(i).proc;
	p.kill_now(sig);
	if (sig == SIGKILL || sig == SIGTERM || sig == SIGINT)
		p.wait(10000);
}

bool restart_nats_node(NatsCluster *c, size_t i)
{
	NatsNode &n = c->nodes.at(i);
	if (!n.proc.wait(0))
		kill_nats_node(c, i, SIGKILL);
	if (!spawn_node(&n, gettid() == c->starter)) {
		perror("restart_nats_node: spawn");
		return false;
	}
	return wait_ready(c, i, i + 1, "restart_nats_node");
}

void stop_nats_cluster(NatsCluster *c)
{
	for (NatsNode &n : c->nodes) {
		n.proc.kill_now(SIGKILL);
		n.proc.wait(10000);
	}
	c->nodes.clear();
	remove_tree(c->dir);
	c->dir.clear();
}

std::string nats_logs(const NatsCluster &c)
{
	std::string s;
	for (size_t i = 0; i < c.nodes.size(); i++) {
		std::string log;
		read_file(c.nodes[i].log_path, &log);
		s += "---- " + node_name(i) + " (" + c.nodes[i].log_path + "):\n" + tail_lines(log, LOG_TAIL_LINES);
	}
	return s;
}

}  // namespace tt
