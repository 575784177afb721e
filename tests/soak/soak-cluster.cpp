#include "tests/soak/soak-cluster.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "testing/nats.h"
#include "testing/support.h"

namespace soak {

namespace {

constexpr int64_t READY_LIMIT_MS = 60000;	// for a started server to read the stream
constexpr int64_t LOG_CHECK_EVERY_MS = 100;
constexpr const char STREAM_READY[] = "bus: the stream TOLVAR is ready";

}  // namespace

struct Cluster {
	tt::NatsCluster nats;
	FaultConfig cfg;
	FaultFigures fig;
	bool armed = false;
	int64_t next_nats_ms = 0, next_server_ms = 0;

	// One NATS node at a time is down or on its way back.
	int nats_node = -1;
	int64_t nats_restart_at = 0, nats_restart_started = 0;
	std::thread nats_thread;
	std::atomic<bool> nats_done{false};
	bool nats_ok = false;

	// One server at a time: killed, starting on the thread, then waited for until it reads
	// the stream.
	enum Phase { RUNNING, DOWN, STARTING, READING } server_phase = RUNNING;
	int server_host = -1;
	int64_t server_restart_at = 0, server_restart_started = 0, next_check_ms = 0;
	std::thread server_thread;
	std::atomic<bool> server_done{false};
	bool server_ok = false;
};

namespace {

double uniform(Context *ctx, double lo, double hi)
{
	return std::uniform_real_distribution<double>(lo, hi)(ctx->rng);
}

// The next kill, a random time around every seconds from now.
int64_t next_kill(Context *ctx, int64_t now, double every)
{
	return every <= 0 ? INT64_MAX : now + (int64_t)(uniform(ctx, 0.5, 1.5) * every * 1000.0);
}

bool logged(pid_t pid, const std::string &text)
{
	for (const tt::LogRecord &r : tt::Syslog::instance().records())
		if (r.pid == pid && r.text == text)
			return true;
	return false;
}

// Waits until every server reads the stream and has heard every other one.
bool wait_joined(Context *ctx)
{
	int64_t end = tt::now_ms() + tt::scaled_ms(READY_LIMIT_MS);
	for (const auto &h : ctx->hosts) {
		std::vector<std::string> wanted = {STREAM_READY};
		for (const auto &other : ctx->hosts)
			if (other != h)
				wanted.push_back("bus: server " + other->name + " joined");
		for (const std::string &w : wanted) {
			while (!logged(h->server.proc.pid, w)) {
				if (tt::now_ms() > end || h->server.proc.wait(0)) {
					ctx->failures.add("server " + h->name + " never logged \"" + w + "\"");
					return false;
				}
				usleep(50000);
			}
		}
	}
	return true;
}

void step_nats(Context *ctx, Cluster *c, int64_t now, bool inject)
{
	if (c->nats_node >= 0) {
		if (!c->nats_thread.joinable() && now >= c->nats_restart_at) {
			c->nats_done = false;
			c->nats_restart_started = now;
			size_t node = (size_t)c->nats_node;
			c->nats_thread = std::thread([c, node] {
				c->nats_ok = tt::restart_nats_node(&c->nats, node);
				c->nats_done = true;
			});
		} else if (c->nats_thread.joinable() && c->nats_done) {
			c->nats_thread.join();
			if (!c->nats_ok)
				ctx->failures.add("NATS node n" + std::to_string(c->nats_node + 1) + " did not come back");
			double back = (double)(now - c->nats_restart_started) / 1000.0;
			if (back > c->fig.nats_back_max)
				c->fig.nats_back_max = back;
			c->nats_node = -1;
			c->next_nats_ms = next_kill(ctx, now, c->cfg.nats_every);
		}
		return;
	}
	if (!inject || now < c->next_nats_ms || !c->nats_ok)
		return;
	c->nats_node = (int)std::uniform_int_distribution<size_t>(0, c->nats.nodes.size() - 1)(ctx->rng);
	tt::kill_nats_node(&c->nats, (size_t)c->nats_node);
	c->fig.nats_kills++;
	c->nats_restart_at = now + (int64_t)(uniform(ctx, c->cfg.nats_down_min, c->cfg.nats_down_max) * 1000.0);
}

FaultEvent step_server(Context *ctx, Cluster *c, int64_t now, bool inject)
{
	FaultEvent ev;
	Host *h = c->server_host >= 0 ? ctx->hosts[(size_t)c->server_host].get() : nullptr;
	switch (c->server_phase) {
	case Cluster::RUNNING:
		if (!inject || now < c->next_server_ms)
			break;
		c->server_host = (int)std::uniform_int_distribution<size_t>(1, ctx->hosts.size() - 1)(ctx->rng);
		h = ctx->hosts[(size_t)c->server_host].get();
		h->up = false;
		h->server.proc.kill_now(SIGKILL);
		h->server.proc.wait(10000);
		c->fig.server_kills++;
		c->server_phase = Cluster::DOWN;
		c->server_restart_at =
		    now + (int64_t)(uniform(ctx, c->cfg.server_down_min, c->cfg.server_down_max) * 1000.0);
		ev.type = FaultEvent::SERVER_KILLED;
		ev.host = c->server_host;
		break;
	case Cluster::DOWN:
		if (now < c->server_restart_at)
			break;
		c->server_done = false;
		c->server_restart_started = now;
		c->server_phase = Cluster::STARTING;
		c->server_thread = std::thread([c, h] {
			c->server_ok = tt::start_server(h->account, &h->server, std::string(), h->env);
			c->server_done = true;
		});
		break;
	case Cluster::STARTING:
		if (!c->server_done)
			break;
		c->server_thread.join();
		if (!c->server_ok) {
			ctx->failures.add("server " + h->name + " did not start again");
			ev.type = FaultEvent::SERVER_LOST;
			ev.host = c->server_host;
			c->server_phase = Cluster::RUNNING;
			c->next_server_ms = INT64_MAX;
			break;
		}
		c->server_phase = Cluster::READING;
		c->next_check_ms = now;
		break;
	case Cluster::READING:
		if (now < c->next_check_ms)
			break;
		c->next_check_ms = now + LOG_CHECK_EVERY_MS;
		if (h->server.proc.wait(0) || now - c->server_restart_started > tt::scaled_ms(READY_LIMIT_MS)) {
			ctx->failures.add("server " + h->name + " started again but never read the stream");
			ev.type = FaultEvent::SERVER_LOST;
		} else if (logged(h->server.proc.pid, STREAM_READY)) {
			double back = (double)(now - c->server_restart_started) / 1000.0;
			if (back > c->fig.server_back_max)
				c->fig.server_back_max = back;
			h->instance = ctx->next_instance++;
			h->up = true;
			ev.type = FaultEvent::SERVER_BACK;
		} else {
			break;
		}
		ev.host = c->server_host;
		c->server_phase = Cluster::RUNNING;
		c->next_server_ms = ev.type == FaultEvent::SERVER_BACK ? next_kill(ctx, now, c->cfg.server_every) : INT64_MAX;
		break;
	}
	return ev;
}

}  // namespace

bool start_cluster(Context *ctx, int servers, const FaultConfig &cfg)
{
	auto *c = new Cluster;
	ctx->cluster = c;
	c->cfg = cfg;
	c->nats_ok = true;
	if (!tt::nats_available()) {
		ctx->failures.add("nats-server is not installed (scripts/install-deps.sh)");
		return false;
	}
	if (!tt::start_nats_cluster(3, &c->nats)) {
		ctx->failures.add("the NATS cluster did not start");
		return false;
	}
	for (int i = 0; i < servers; i++) {
		auto h = std::make_unique<Host>();
		h->name = "s" + std::to_string(i + 1);
		h->env = {"TOLVAR_NATS_URL=" + c->nats.urls(), "TOLVAR_SERVER_NAME=" + h->name};
		if (!tt::create_account(tt::unique_account_name("tvsoak" + std::to_string(i + 1)), &h->account))
			return false;
		h->instance = ctx->next_instance++;
		Host *p = h.get();
		ctx->hosts.push_back(std::move(h));
		if (!tt::start_server(p->account, &p->server, std::string(), p->env)) {
			ctx->failures.add("server " + p->name + " did not start");
			return false;
		}
	}
	return wait_joined(ctx);
}

void stop_cluster(Context *ctx)
{
	Cluster *c = ctx->cluster;
	if (c != nullptr) {
		if (c->nats_thread.joinable())
			c->nats_thread.join();
		if (c->server_thread.joinable())
			c->server_thread.join();
	}
	for (const auto &h : ctx->hosts) {
		tt::stop_server(&h->server);
		if (!h->account.name.empty())
			tt::remove_account(h->account);
	}
	if (c != nullptr)
		tt::stop_nats_cluster(&c->nats);
	delete c;
	ctx->cluster = nullptr;
}

FaultEvent step_faults(Context *ctx, int64_t now_ms, bool inject)
{
	Cluster *c = ctx->cluster;
	if (inject && !c->armed) {
		c->armed = true;
		c->next_nats_ms = next_kill(ctx, now_ms, c->cfg.nats_every);
		c->next_server_ms = next_kill(ctx, now_ms, c->cfg.server_every);
	}
	step_nats(ctx, c, now_ms, inject);
	return step_server(ctx, c, now_ms, inject);
}

bool faults_quiet(const Context &ctx)
{
	const Cluster *c = ctx.cluster;
	return c == nullptr || (c->nats_node < 0 && c->server_phase == Cluster::RUNNING);
}

const FaultFigures &fault_figures(const Context &ctx)
{
	return ctx.cluster->fig;
}

std::string cluster_logs(const Context &ctx)
{
	return ctx.cluster != nullptr ? tt::nats_logs(ctx.cluster->nats) : std::string();
}

}  // namespace soak
