#include "tests/soak/soak-round.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <unordered_map>

#include "api/tolvar-api-client.h"
#include "protocol/local-protocol.h"
#include "testing/proc-files.h"
#include "tests/soak/soak-cluster.h"
#include "tests/soak/soak-session.h"

namespace soak {

namespace {

// Fault rates per faultable session and second, before RoundConfig::fault_rate.
constexpr double RAW_CLOSE_RATE = 0.010;
constexpr double API_CLOSE_RATE = 0.005;
constexpr double API_HARD_CLOSE_RATE = 0.004;
constexpr double KILL_RATE = 0.006;
constexpr double STEADY_SHARE = 0.3;		// slots never hit by a fault
constexpr int64_t RESPAWN_MIN_MS = 100, RESPAWN_MAX_MS = 1000;
constexpr int64_t FILL_EVERY_MS = 200;		// a big private message to each client that stopped reading
constexpr uint32_t FILL_PAD = 32768;
constexpr int64_t PROBE_EVERY_MS = 100;
constexpr int64_t WATCH_EVERY_MS = 250;		// three-server form: each server's list during the traffic
constexpr int REMOTE_ID_FIRST = 32768;		// list ids of sessions on other servers start here
constexpr int64_t JOIN_LIMIT_MS = 90000;	// for the first logins of the whole population
constexpr int64_t SETTLE_LIMIT_MS = 60000;	// for each step of the end
constexpr int64_t PROGRESS_LIMIT_MS = 15000;	// for end markers, after the last one that came
constexpr const char NOBODY[] = "nobody";	// a name that is never online

// A stretch of the round in which a server listed sessions of a user on other servers: from
// the list that first held one, to the request of the last list that did (open while it
// still does).
struct Run {
	int64_t from = 0;
	int64_t last_asked = 0;
	bool open = true;
};

// One start of a server, as the round sees it.
struct Instance {
	bool killed = false;
	std::unordered_map<std::string, std::vector<Run>> known;	// users it lists on other servers
};

struct Slot {
	std::string name;
	bool steady = false;
	Session *current = nullptr;
	int64_t respawn_at_ms = -1;
};

struct Round {
	Context *ctx;
	const RoundConfig *cfg;
	Figures *fig;
	std::vector<std::unique_ptr<Session>> sessions;
	std::unordered_map<int, Session *> by_id;
	std::vector<Slot> slots;
	std::vector<Session *> stall_clients;
	std::vector<int64_t> stall_due_ms;
	std::vector<Session *> probes;	// connections that never log in, asking for online lists
	int64_t finish_tick = -1;	// lists asked for after it must hold exactly the survivors
	std::unordered_map<int, Instance> instances;
	Ledger ledger;
	int64_t tick = 0;
	bool traffic = false;		// random posts, faults and reconnections
	int64_t traffic_start_ms = 0;
	double next_post_ms = 0, next_fault_ms = 0;
	int64_t next_fill_ms = 0, next_probe_ms = 0, next_sample_ms = 0, next_progress_ms = 0;
	bool server_gone = false;
};

std::string describe(const Session &s)
{
	std::ostringstream o;
	o << "session " << s.id << " (" << (s.probe ? "probe" : s.kind == Kind::RAW ? "raw" : "api") << " " << s.name;
	if (!s.server_name.empty())
		o << " on " << s.server_name;
	if (s.server_id >= 0)
		o << ", fd " << s.server_id;
	o << ", " << end_name(s.end) << ")";
	return o.str();
}

void fail(Round &r, const std::string &what)
{
	r.ctx->failures.add(r.cfg->title + ": " + what);
}

double uniform(Round &r, double lo, double hi)
{
	return std::uniform_real_distribution<double>(lo, hi)(r.ctx->rng);
}

int64_t uniform_int(Round &r, int64_t lo, int64_t hi)
{
	return std::uniform_int_distribution<int64_t>(lo, hi)(r.ctx->rng);
}

double exponential_ms(Round &r, double per_second)
{
	return per_second <= 0 ? 1e18 : std::exponential_distribution<double>(per_second)(r.ctx->rng) * 1000.0;
}

double faults_per_second(const Round &r)
{
	return (RAW_CLOSE_RATE + API_CLOSE_RATE + API_HARD_CLOSE_RATE + KILL_RATE) * r.cfg->sessions *
	       (1 - STEADY_SHARE) * r.cfg->fault_rate;
}

bool survivor(const Session &s)
{
	return s.end == End::ALIVE && !s.probe && !s.stall_client;
}

// ---- starting sessions ----

Session *new_session(Round &r, Kind kind, const std::string &name, int host, bool probe = false)
{
	const Host &h = *r.ctx->hosts[(size_t)host];
	auto s = std::make_unique<Session>();
	s->id = r.ctx->next_session_id++;
	s->kind = kind;
	s->name = name;
	s->probe = probe;
	s->host = host;
	s->instance = h.instance;
	s->server_name = h.name;
	if (kind == Kind::RAW) {
		static const char *const encodings[] = {"UTF-8", "UTF-8", "", "ISO-8859-1"};
		s->encoding = encodings[uniform_int(r, 0, 3)];
	}
	bool ok = kind == Kind::RAW ? start_raw(s.get(), h.server.socket_path) : start_api(s.get(), h.account);
	if (!ok) {
		fail(r, "cannot start " + describe(*s) + ": " + strerror(errno));
		return nullptr;
	}
	(kind == Kind::RAW ? r.fig->started_raw : r.fig->started_api)++;
	Session *p = s.get();
	r.by_id[p->id] = p;
	r.sessions.push_back(std::move(s));
	return p;
}

// A server that takes new sessions: the first ones are spread evenly, later ones at random.
int pick_host(Round &r, int spread)
{
	std::vector<int> up;
	for (size_t i = 0; i < r.ctx->hosts.size(); i++)
		if (r.ctx->hosts[i]->up)
			up.push_back((int)i);
	if (up.size() <= 1)
		return up.empty() ? -1 : up[0];
	if (spread >= 0 && r.ctx->hosts[(size_t)spread % r.ctx->hosts.size()]->up)
		return (int)((size_t)spread % r.ctx->hosts.size());
	return up[(size_t)uniform_int(r, 0, (int64_t)up.size() - 1)];
}

void fill_slot(Round &r, int i, bool first = false)
{
	Slot &slot = r.slots[i];
	int host = pick_host(r, first ? i : -1);
	if (host < 0) {
		slot.respawn_at_ms = tt::now_ms() + RESPAWN_MAX_MS;
		return;
	}
	Session *s = new_session(r, uniform(r, 0, 1) < 0.5 ? Kind::RAW : Kind::API, slot.name, host);
	slot.current = s;
	slot.respawn_at_ms = s == nullptr ? tt::now_ms() + RESPAWN_MAX_MS : -1;
	if (s != nullptr) {
		s->slot = i;
		s->steady = slot.steady;
	}
}

// ---- posting ----

void post(Round &r, Session *s, const std::string &to, int kind, uint32_t pad, bool end_marker)
{
	Message *m = r.ledger.add(s->id, to, kind, pad, ++r.tick, end_marker);
	queue_post(s, m->seq, to, kind, m->text);
	r.fig->posts++;
	if (to == NOBODY)
		s->nobody_posts++;
}

bool may_post(const Session &s)
{
	return s.end == End::ALIVE && s.joined_tick >= 0 && !s.stalled && !s.probe;
}

Session *pick(Round &r, const std::function<bool(const Session &)> &fits)
{
	std::vector<Session *> candidates;
	for (const Slot &slot : r.slots)
		if (slot.current != nullptr && fits(*slot.current))
			candidates.push_back(slot.current);
	for (Session *s : r.stall_clients)
		if (fits(*s))
			candidates.push_back(s);
	if (candidates.empty())
		return nullptr;
	return candidates[(size_t)uniform_int(r, 0, (int64_t)candidates.size() - 1)];
}

void random_post(Round &r)
{
	Session *s = pick(r, may_post);
	if (s == nullptr)
		return;
	double u = uniform(r, 0, 1);
	std::string to;
	if (u < 0.55) {
		to = "GLOBAL";
	} else if (u < 0.70) {
		to = "*";
	} else if (u < 0.95) {
		to = r.slots[(size_t)uniform_int(r, 0, (int64_t)r.slots.size() - 1)].name;
	} else {
		to = NOBODY;
		r.fig->nobody_posts++;
	}
	if (is_everybody(to))
		r.fig->global_posts++;
	else if (to != NOBODY)
		r.fig->private_posts++;
	double v = uniform(r, 0, 1);
	uint32_t pad = v < 0.85 ? (uint32_t)uniform_int(r, 0, 200)
		     : v < 0.98 ? (uint32_t)uniform_int(r, 200, 8000) : (uint32_t)uniform_int(r, 8000, 65536);
	int kind = uniform(r, 0, 1) < 0.1 ? MESSAGE_KIND_HTML : MESSAGE_KIND_PLAIN;
	post(r, s, to, kind, pad, false);
}

// Big private messages to every client that has stopped reading, until the server drops it.
void fill_stalled(Round &r)
{
	for (Session *stalled : r.stall_clients) {
		if (!stalled->stalled || stalled->end != End::ALIVE)
			continue;
		Session *s = pick(r, [](const Session &c) { return may_post(c) && !c.stall_client; });
		if (s == nullptr)
			return;
		post(r, s, stalled->name, MESSAGE_KIND_PLAIN, FILL_PAD, false);
		r.fig->fill_posts++;
	}
}

// ---- ends of sessions ----

void mark_unsent(Round &r, Session *s)
{
	for (uint32_t seq : unsent_posts(s)) {
		Message *m = r.ledger.find(s->id, seq);
		if (m != nullptr) {
			m->fate = Fate::UNSENT;
			r.fig->unsent_posts++;
		}
	}
}

void leave_slot(Round &r, Session *s)
{
	if (s->slot >= 0 && r.slots[s->slot].current == s) {
		r.slots[s->slot].current = nullptr;
		r.slots[s->slot].respawn_at_ms = tt::now_ms() + uniform_int(r, RESPAWN_MIN_MS, RESPAWN_MAX_MS);
	}
}

// The session ended without the test asking.
void lost(Round &r, Session *s, const std::string &why)
{
	s->end = End::LOST;
	fail(r, describe(*s) + " lost: " + why);
	mark_unsent(r, s);
	int err = s->proc.err;
	s->proc.err = -1;
	close_all(s);
	s->proc.err = err;	// kept until its end, for the report
	leave_slot(r, s);
}

void end_by_fault(Round &r, Session *s, End how)
{
	mark_unsent(r, s);
	s->end = how;
	switch (how) {
	case End::CLOSED:
		if (s->kind == Kind::RAW) {
			close_all(s);
			r.fig->raw_closes++;
		} else {
			// Standard input only: the session posts what it has, ends, and is read to its end.
			close(s->proc.in);
			s->proc.in = -1;
			r.fig->api_closes++;
		}
		break;
	case End::HARD_CLOSED:
		close_all(s);
		r.fig->api_hard_closes++;
		break;
	case End::KILLED:
		s->proc.kill_now(SIGKILL);
		close_all(s);
		r.fig->kills++;
		break;
	default:
		break;
	}
	leave_slot(r, s);
}

void random_fault(Round &r)
{
	double weights[] = {RAW_CLOSE_RATE, API_CLOSE_RATE, API_HARD_CLOSE_RATE, KILL_RATE};
	std::discrete_distribution<int> which(std::begin(weights), std::end(weights));
	int w = which(r.ctx->rng);
	Kind kind = w == 0 ? Kind::RAW : Kind::API;
	Session *s = pick(r, [kind](const Session &c) {
		return c.kind == kind && !c.steady && !c.stall_client && c.end == End::ALIVE && c.joined_tick >= 0;
	});
	if (s == nullptr)
		return;
	static const End ends[] = {End::CLOSED, End::CLOSED, End::HARD_CLOSED, End::KILLED};
	end_by_fault(r, s, ends[w]);
}

void start_stall(Round &r, Session *s)
{
	s->stalled = true;
	s->stall_tick = ++r.tick;
	s->stalled_ms = tt::now_ms();
}

void dropped(Round &r, Session *s)
{
	s->end = End::DROPPED;
	mark_unsent(r, s);
	close_all(s);
	double delay = (double)(tt::now_ms() - s->stalled_ms) / 1000.0;
	if (r.fig->drops == 0 || delay < r.fig->drop_delay_min)
		r.fig->drop_delay_min = delay;
	if (delay > r.fig->drop_delay_max)
		r.fig->drop_delay_max = delay;
	r.fig->drops++;
}

// An api session that has ended and been reaped: its exit status must fit how it ended.
void judge_exit(Round &r, Session *s)
{
	int code = s->proc.exit_code();
	bool fits = true;
	switch (s->end) {
	case End::CLOSED:
	case End::ALIVE:
		fits = code == 0;
		break;
	case End::HARD_CLOSED:	// end of input, a failed write to its output, or SIGPIPE
		fits = code == 0 || code == 1 || code == 128 + SIGPIPE;
		break;
	case End::KILLED:
		fits = code == 128 + SIGKILL;
		break;
	case End::SERVER_KILLED:	// killed before it had logged in, or ended when its server went
		fits = code == 128 + SIGKILL || code == 0 || code == 1 || code == 128 + SIGPIPE;
		break;
	default:
		fits = false;
		break;
	}
	// Its server went while it was still being read to its end.
	if (s->server_died && s->end == End::CLOSED)
		fits = fits || code == 1 || code == 128 + SIGPIPE;
	if (!fits)
		fail(r, describe(*s) + " ended with status " + std::to_string(code));
	if (!s->err_text.empty() && !s->server_died)
		fail(r, describe(*s) + " wrote on standard error: " + s->err_text);
}

void reap(Round &r)
{
	for (auto &up : r.sessions) {
		Session *s = up.get();
		if (s->kind != Kind::API || s->reaped || s->end == End::ALIVE || s->proc.out >= 0 || s->proc.err >= 0)
			continue;
		if (s->proc.wait(0)) {
			s->reaped = true;
			judge_exit(r, s);
		}
	}
}

// ---- probes and servers that go ----

void ask_list(Round &r, Session *p)
{
	queue_online_request(p);
	p->list_pending = true;
	p->list_asked_tick = ++r.tick;
}

// A connection to host that never logs in and asks for online lists (its first request is
// queued with it).
bool add_probe(Round &r, int host)
{
	Session *p = new_session(r, Kind::RAW, "", host, true);
	if (p == nullptr)
		return false;
	p->list_pending = true;
	p->list_asked_tick = ++r.tick;
	r.probes.push_back(p);
	r.instances[p->instance];
	return true;
}

// The test killed the server of host: its sessions go with it. Raw clients are closed; api
// sessions that had logged in must tell their programs that the server went and end, the
// others are killed (they could reach the server's next start).
void server_killed(Round &r, int host)
{
	int instance = r.ctx->hosts[(size_t)host]->instance;
	r.instances[instance].killed = true;
	for (auto &up : r.sessions) {
		Session *s = up.get();
		if (s->instance != instance)
			continue;
		s->server_died = true;
		if (s->end != End::ALIVE)
			continue;
		mark_unsent(r, s);
		s->end = End::SERVER_KILLED;
		if (!s->probe)
			r.fig->server_killed++;
		if (s->kind == Kind::RAW) {
			close_all(s);
		} else if (s->joined_tick < 0) {
			s->proc.kill_now(SIGKILL);
			close_all(s);
		}
		leave_slot(r, s);
	}
}

// ---- what sessions receive ----

void on_message(Round &r, Session *s, const Event &ev)
{
	s->deliveries++;
	r.fig->deliveries++;
	int sender;
	uint32_t seq;
	Message *m = parse_header(ev.text, &sender, &seq) ? r.ledger.find(sender, seq) : nullptr;
	if (m == nullptr) {
		fail(r, describe(*s) + " received a text that was never posted: " + ev.text.substr(0, 40));
		return;
	}
	m->receipts++;
	if (m->first_receipt_tick < 0)
		m->first_receipt_tick = ++r.tick;
	const Session *from = r.by_id.at(sender);
	// API sessions say TOLVAR_API_VERSION; only version 1 turns "*" into "GLOBAL".
	std::string to = s->kind == Kind::API && TOLVAR_API_VERSION < 2 && m->to == "*" ? "GLOBAL" : m->to;
	auto where = [&] { return describe(*s) + ": message " + std::to_string(sender) + "." + std::to_string(seq) + " "; };
	if (ev.from != from->name)
		fail(r, where() + "from " + ev.from + " instead of " + from->name);
	if (ev.to != to)
		fail(r, where() + "to " + ev.to + " instead of " + to);
	if (ev.kind != m->kind)
		fail(r, where() + "kind " + std::to_string(ev.kind) + " instead of " + std::to_string(m->kind));
	if (ev.text != m->text) {
		size_t at = 0;
		while (at < ev.text.size() && at < m->text.size() && ev.text[at] == m->text[at])
			at++;
		fail(r, where() + "text of " + std::to_string(ev.text.size()) + " bytes instead of " +
			    std::to_string(m->text.size()) + ", first difference at " + std::to_string(at));
	}
	if (!is_everybody(m->to) && s->name != m->to && s->name != from->name)
		fail(r, where() + "to " + m->to + " reached a session of " + s->name);
	std::vector<uint32_t> &got = s->got[sender];
	if (!got.empty() && seq <= got.back()) {
		bool twice = std::binary_search(got.begin(), got.end(), seq);
		fail(r, where() + (twice ? "received twice" : "out of order, after " + std::to_string(got.back())));
	} else {
		got.push_back(seq);
	}
	if (m->end_marker)
		s->ends_from.insert(sender);
}

// Notes which users the probe's server lists on other servers, and since when.
void note_known(Round &r, Session *p, const std::multiset<std::string> &elsewhere)
{
	int64_t tick = ++r.tick;
	for (auto &[user, runs] : r.instances[p->instance].known)
		if (!runs.empty() && runs.back().open && elsewhere.count(user) == 0)
			runs.back().open = false;
	for (const std::string &user : elsewhere) {
		std::vector<Run> &runs = r.instances[p->instance].known[user];
		if (runs.empty() || !runs.back().open)
			runs.push_back(Run{tick, p->list_asked_tick, true});
		else
			runs.back().last_asked = p->list_asked_tick;
	}
}

// A probe's list: its server's own sessions by id and user, the others' by user.
void on_probe_list(Round &r, Session *p, const Event &ev)
{
	p->list_pending = false;
	std::set<std::pair<int, std::string>> here, expected_here;
	std::multiset<std::string> elsewhere, expected_elsewhere;
	for (const auto &e : ev.entries) {
		if (e.first >= REMOTE_ID_FIRST)
			elsewhere.insert(e.second);
		else
			here.insert(e);
	}
	if (r.ctx->cluster != nullptr)
		note_known(r, p, elsewhere);
	for (auto &up : r.sessions) {
		if (!survivor(*up))
			continue;
		if (up->instance == p->instance)
			expected_here.emplace(up->server_id, up->name);
		else
			expected_elsewhere.insert(up->name);
	}
	p->list_matched = p->list_asked_tick > r.finish_tick && here == expected_here && elsewhere == expected_elsewhere;
}

void on_online_list(Round &r, Session *s, const Event &ev)
{
	if (s->probe) {
		on_probe_list(r, s, ev);
		return;
	}
	if (s->joined_tick >= 0) {
		fail(r, describe(*s) + " received an online list it did not ask for");
		return;
	}
	bool listed = false;
	for (const auto &e : ev.entries) {
		listed = listed || (e.first == ev.your_id && e.second == s->name);
		s->listed.insert(e.second);
	}
	if (!listed)
		fail(r, describe(*s) + " is not in the online list that answers it after its login");
	s->server_id = ev.your_id;
	s->joined_tick = ++r.tick;
}

void on_event(Round &r, Session *s, const Event &ev)
{
	if (s->probe && ev.type != Event::ONLINE_LIST) {
		fail(r, "a connection that never logged in received a packet of event type " + std::to_string(ev.type));
		return;
	}
	switch (ev.type) {
	case Event::MESSAGE:
		on_message(r, s, ev);
		break;
	case Event::ONLINE_LIST:
		on_online_list(r, s, ev);
		break;
	case Event::PRESENCE: {
		auto it = s->presence.find(ev.name);
		if (it != s->presence.end() && it->second == ev.online)
			fail(r, describe(*s) + ": " + ev.name + " announced " + (ev.online ? "online" : "offline") +
				    " twice in a row");
		s->presence[ev.name] = ev.online;
		(ev.online ? s->online_seen : s->offline_seen)[ev.name]++;
		break;
	}
	case Event::NOT_FOUND:
		if (ev.name == NOBODY)
			s->nobody_answers++;
		break;
	case Event::ERROR:
		if (s->server_died && (ev.code == TOLVAR_API_ERROR_SERVER_CLOSED || ev.code == TOLVAR_API_ERROR_LOCAL_READ))
			break;	// its server was killed
		if (ev.code != 6)
			fail(r, describe(*s) + " received API error " + std::to_string(ev.code) + ": " + ev.text);
		else if (ev.text.find(NOBODY) != std::string::npos)
			s->nobody_answers++;
		break;
	case Event::PASS:
		if (ev.name != s->name)
			fail(r, describe(*s) + " got a pass for " + ev.name);
		break;
	case Event::MOTD:
		break;
	}
}

void on_readable(Round &r, Session *s)
{
	std::vector<Event> events;
	std::string fault;
	int got = receive(s, &events, &fault);
	for (const Event &ev : events)
		on_event(r, s, ev);
	if (got > 0)
		return;
	if (got < 0)
		fail(r, describe(*s) + ": " + fault);
	else if (!s->in.empty())
		fail(r, describe(*s) + ": its stream ended inside a packet (" + std::to_string(s->in.size()) +
			    " bytes of it)");
	if (s->end == End::ALIVE) {
		lost(r, s, got < 0 ? "broken stream" : "end of its stream");
	} else if (s->kind == Kind::API) {
		close(s->proc.out);	// read to its end after its input was closed
		s->proc.out = -1;
	}
}

void on_writable(Round &r, Session *s)
{
	std::vector<uint32_t> written;
	int rc = flush(s, &written);
	for (uint32_t seq : written) {
		Message *m = r.ledger.find(s->id, seq);
		if (m != nullptr && m->fate == Fate::QUEUED)
			m->fate = Fate::WRITTEN;
	}
	if (rc < 0 && !s->stalled && s->end == End::ALIVE)
		lost(r, s, std::string("write: ") + strerror(errno));
}

// ---- the loop ----

enum Which { SOCK, IN, OUT, ERR };

void pump(Round &r, int timeout_ms)
{
	std::vector<pollfd> fds;
	std::vector<std::pair<Session *, Which>> owners;
	for (auto &up : r.sessions) {
		Session *s = up.get();
		if (s->sock >= 0) {
			short events = s->stalled ? 0 : POLLIN;	// a stalled client only waits for its end
			if (has_output(*s))
				events |= POLLOUT;
			fds.push_back({s->sock, events, 0});
			owners.emplace_back(s, SOCK);
		}
		if (s->proc.out >= 0) {
			fds.push_back({s->proc.out, POLLIN, 0});
			owners.emplace_back(s, OUT);
		}
		if (s->proc.err >= 0) {
			fds.push_back({s->proc.err, POLLIN, 0});
			owners.emplace_back(s, ERR);
		}
		if (s->proc.in >= 0 && has_output(*s)) {
			fds.push_back({s->proc.in, POLLOUT, 0});
			owners.emplace_back(s, IN);
		}
	}
	if (poll(fds.data(), fds.size(), timeout_ms) <= 0)
		return;
	for (size_t i = 0; i < fds.size(); i++) {
		short ev = fds[i].revents;
		Session *s = owners[i].first;
		if (ev == 0)
			continue;
		// A descriptor closed earlier in this pass is skipped: nothing new is opened meanwhile.
		switch (owners[i].second) {
		case SOCK:
			if (s->sock != fds[i].fd)
				break;
			if (s->stalled) {
				if (ev & (POLLHUP | POLLERR))
					dropped(r, s);
				else if (ev & POLLOUT)
					on_writable(r, s);
				break;
			}
			if (ev & POLLOUT)
				on_writable(r, s);
			if (s->sock >= 0 && (ev & (POLLIN | POLLHUP | POLLERR)))
				on_readable(r, s);
			break;
		case OUT:
			if (s->proc.out == fds[i].fd)
				on_readable(r, s);
			break;
		case ERR:
			if (s->proc.err == fds[i].fd && receive_stderr(s) == 0) {
				close(s->proc.err);
				s->proc.err = -1;
			}
			break;
		case IN:
			if (s->proc.in == fds[i].fd)
				on_writable(r, s);
			break;
		}
	}
}

void sample(Round &r, int64_t now)
{
	if (now < r.next_sample_ms)
		return;
	r.next_sample_ms = now + 1000;
	for (const auto &h : r.ctx->hosts) {
		if (!h->up)
			continue;	// killed by the test, or not back yet
		tt::MemoryFigures m;
		if (tt::read_memory(h->server.proc.pid, &m) && m.rss_kib > r.fig->peak_rss_kb)
			r.fig->peak_rss_kb = m.rss_kib;
		if (h->server.proc.wait(0)) {
			fail(r, (h->name.empty() ? std::string("the server") : "server " + h->name) + " ended with status " +
				    std::to_string(h->server.proc.exit_code()));
			r.server_gone = true;
		}
	}
	if (now >= r.next_progress_ms && r.traffic) {
		r.next_progress_ms = now + 10000;
		int raw = 0, api = 0;
		for (const Slot &slot : r.slots)
			if (slot.current != nullptr)
				(slot.current->kind == Kind::RAW ? raw : api)++;
		printf("  %s %3.0fs: %d raw + %d api sessions, %llu posts, %llu deliveries, %llu closes, %llu kills, "
		       "%llu drops\n",
		       r.cfg->title.c_str(), (double)(now - r.traffic_start_ms) / 1000.0, raw, api,
		       (unsigned long long)r.fig->posts, (unsigned long long)r.fig->deliveries,
		       (unsigned long long)(r.fig->raw_closes + r.fig->api_closes + r.fig->api_hard_closes),
		       (unsigned long long)r.fig->kills, (unsigned long long)r.fig->drops);
		fflush(stdout);
	}
}

// One turn: what is due, one wait, and the reaping of ended processes.
void step(Round &r)
{
	int64_t now = tt::now_ms();
	if (r.traffic) {
		while (r.next_post_ms <= (double)now) {
			random_post(r);
			r.next_post_ms += exponential_ms(r, r.cfg->post_rate);
		}
		while (r.next_fault_ms <= (double)now) {
			random_fault(r);
			r.next_fault_ms += exponential_ms(r, faults_per_second(r));
		}
		for (size_t i = 0; i < r.slots.size(); i++)
			if (r.slots[i].current == nullptr && r.slots[i].respawn_at_ms >= 0 && r.slots[i].respawn_at_ms <= now)
				fill_slot(r, (int)i);
		for (size_t i = 0; i < r.stall_clients.size(); i++) {
			Session *s = r.stall_clients[i];
			if (!s->stalled && s->joined_tick >= 0 && r.stall_due_ms[i] <= now)
				start_stall(r, s);
		}
	}
	if (now >= r.next_fill_ms) {
		r.next_fill_ms = now + FILL_EVERY_MS;
		fill_stalled(r);
	}
	if (r.ctx->cluster != nullptr) {
		FaultEvent ev = step_faults(r.ctx, now, r.traffic && r.cfg->server_faults);
		if (ev.type == FaultEvent::SERVER_KILLED)
			server_killed(r, ev.host);
		else if (ev.type == FaultEvent::SERVER_BACK)
			add_probe(r, ev.host);
		else if (ev.type == FaultEvent::SERVER_LOST)
			r.server_gone = true;
	}
	if (now >= r.next_probe_ms) {
		r.next_probe_ms = now + (r.traffic ? WATCH_EVERY_MS : PROBE_EVERY_MS);
		for (Session *p : r.probes)
			if (!p->list_pending && p->end == End::ALIVE)
				ask_list(r, p);
	}
	pump(r, 10);
	reap(r);
	sample(r, now);
}

// Turns until done() holds; false (and a failure naming what) after limit_ms in which
// progress(), when given, stayed the same.
bool settle(Round &r, int64_t limit_ms, const char *what, const std::function<bool()> &done,
	    const std::function<size_t()> &progress = nullptr)
{
	int64_t end = tt::now_ms() + limit_ms;
	size_t last = progress ? progress() : 0;
	while (!done()) {
		if (r.server_gone)
			return false;
		if (progress && progress() != last) {
			last = progress();
			end = tt::now_ms() + limit_ms;
		}
		if (tt::now_ms() > end) {
			fail(r, std::string("gave up waiting ") + what);
			return false;
		}
		step(r);
	}
	return true;
}

// ---- the end ----

bool all_joined(Round &r, std::string *missing)
{
	missing->clear();
	for (auto &up : r.sessions)
		if (up->end == End::ALIVE && !up->probe && up->joined_tick < 0)
			*missing += " " + describe(*up);
	return missing->empty();
}

bool ends_done(Round &r)
{
	for (auto &up : r.sessions) {
		Session *s = up.get();
		if (s->stall_client && s->end == End::ALIVE)
			return false;
		if (s->kind == Kind::API && s->end != End::ALIVE && !s->reaped)
			return false;
	}
	return true;
}

// Whether the server of instance listed a session of one of users on another server from
// before tick until it had surely handled a message posted then (received first at
// received_tick, -1 when nobody got it): the server posts a private message to the others
// only when it knows a session of its recipient or its sender there.
bool knew_elsewhere(const Round &r, int instance, const std::vector<std::string> &users, int64_t tick,
		    int64_t received_tick)
{
	auto in = r.instances.find(instance);
	if (in == r.instances.end())
		return false;
	for (const std::string &user : users) {
		auto runs = in->second.known.find(user);
		if (runs == in->second.known.end())
			continue;
		for (const Run &run : runs->second)
			if (run.from < tick && (run.open || (received_tick >= 0 && run.last_asked > received_tick)))
				return true;
	}
	return false;
}

// The sessions connected throughout that one message may reach, on one side of the bus.
struct Reach {
	size_t eligible = 0, have = 0;
	std::string missing;
};

// Every message against every session that was connected for its whole life.
void check_deliveries(Round &r)
{
	std::vector<Session *> survivors;
	for (auto &up : r.sessions)
		if (survivor(*up))
			survivors.push_back(up.get());
	r.fig->survivors = survivors.size();
	int reported = 0;
	for (const auto &entry : r.ledger.all()) {
		const Session *from = r.by_id.at(entry.first);
		auto instance = r.instances.find(from->instance);
		bool sender_server_killed = instance != r.instances.end() && instance->second.killed;
		for (const Message &m : entry.second) {
			if (m.fate != Fate::WRITTEN) {
				if (m.receipts > 0)
					fail(r, "message " + std::to_string(m.sender) + "." + std::to_string(m.seq) +
						    ", never wholly written by " + describe(*from) + ", reached " +
						    std::to_string(m.receipts) + " sessions");
				continue;
			}
			bool certain = !from->stall_client && (from->end == End::ALIVE || from->end == End::CLOSED) &&
				       !sender_server_killed;
			bool everybody = is_everybody(m.to);
			// On the sender's server, and on the others (through the bus).
			Reach here, there;
			for (Session *s : survivors) {
				if (s->joined_tick >= m.tick)
					continue;
				if (!everybody && s->name != m.to && s->name != from->name)
					continue;
				Reach &side = s->instance == from->instance ? here : there;
				side.eligible++;
				auto it = s->got.find(m.sender);
				if (it != s->got.end() && std::binary_search(it->second.begin(), it->second.end(), m.seq))
					side.have++;
				else if (side.missing.size() < 400)
					side.missing += " " + std::to_string(s->id);
			}
			// A message the server has read reaches its own sessions at once; the others get it
			// through the stream when the server posts it there, all of them or none.
			bool read = certain || here.have > 0 || there.have > 0;
			bool posted = read && !sender_server_killed &&
				      (everybody || knew_elsewhere(r, from->instance, {m.to, from->name}, m.tick,
								   m.first_receipt_tick));
			if (certain) {
				r.fig->proven += here.have + (posted ? there.have : 0);
				r.fig->proven_bus += posted ? there.have : 0;
			} else {
				r.fig->proven_gone += (read ? here.have : 0) + (there.have == there.eligible ? there.have : 0);
			}
			bool wrong = (read && here.have != here.eligible) || (posted && there.have != there.eligible) ||
				     (there.have != 0 && there.have != there.eligible);
			if (!wrong)
				continue;
			if (reported++ >= 20) {
				fail(r, "message " + std::to_string(m.sender) + "." + std::to_string(m.seq) + " missing somewhere");
				continue;
			}
			std::string what = "message " + std::to_string(m.sender) + "." + std::to_string(m.seq) + " to " + m.to +
					   " from " + describe(*from) + " reached " + std::to_string(here.have + there.have) +
					   " of the " + std::to_string(here.eligible + there.eligible) +
					   " sessions connected throughout";
			if (r.ctx->cluster != nullptr)
				what += " (" + std::to_string(here.have) + " of " + std::to_string(here.eligible) +
					" on its server, " + std::to_string(there.have) + " of " + std::to_string(there.eligible) +
					" on the others" + (posted ? ", where it had to go" : "") + ")";
			fail(r, what + "; missing at" + here.missing + there.missing);
		}
	}
	for (Session *s : survivors) {
		if (!s->in.empty())
			fail(r, describe(*s) + " holds " + std::to_string(s->in.size()) +
				    " bytes of a packet that never completed");
		if (s->nobody_answers != s->nobody_posts)
			fail(r, describe(*s) + " posted " + std::to_string(s->nobody_posts) + " messages to " + NOBODY +
				    " and got " + std::to_string(s->nobody_answers) + " user-not-found answers");
	}
	// Clients that stopped reading are announced offline to everyone who saw them online. On
	// one server that is everybody who logged in before; with several, a server that has not
	// yet heard of a client cannot announce it.
	for (Session *k : r.stall_clients) {
		if (k->end == End::SERVER_KILLED)
			continue;
		for (Session *s : survivors) {
			int off = s->offline_seen[k->name], on = s->online_seen[k->name];
			bool saw = on > 0 || s->listed.count(k->name) > 0 ||
				   (r.ctx->cluster == nullptr && s->joined_tick < k->stall_tick);
			if ((saw && off != 1) || off > 1 || on > 1)
				fail(r, describe(*s) + " saw " + k->name + " (dropped for not reading) online " +
					    std::to_string(on) + " and offline " + std::to_string(off) + " times");
		}
	}
}

bool finish_round(Round &r)
{
	r.traffic = false;
	r.fig->traffic_seconds = (double)(tt::now_ms() - r.traffic_start_ms) / 1000.0;
	for (Session *s : r.stall_clients)
		if (!s->stalled && s->end == End::ALIVE && s->joined_tick >= 0)
			start_stall(r, s);
	std::string missing;
	if (!settle(r, SETTLE_LIMIT_MS, "for the last logins, drops and ends of sessions, and every server back", [&] {
		    return all_joined(r, &missing) && ends_done(r) && faults_quiet(*r.ctx);
	    })) {
		fail(r, "not joined:" + missing);
		return false;
	}
	// The server lists exactly the sessions still here once it has read every ended one to
	// its end, so every post of those has been delivered by then. With several servers each
	// lists the others' too, once it has heard of every login and logout.
	r.finish_tick = ++r.tick;
	for (Session *p : r.probes)
		p->list_matched = false;
	if (r.ctx->cluster == nullptr && !add_probe(r, 0))
		return false;
	if (!settle(r, SETTLE_LIMIT_MS, "for the online list to hold exactly the sessions still connected", [&] {
		    for (Session *p : r.probes)
			    if (p->end == End::ALIVE && !p->list_matched)
				    return false;
		    return true;
	    }))
		return false;
	std::vector<Session *> survivors;
	for (auto &up : r.sessions)
		if (survivor(*up))
			survivors.push_back(up.get());
	for (Session *s : survivors) {
		post(r, s, "GLOBAL", MESSAGE_KIND_PLAIN, 0, true);
		r.fig->end_markers++;
	}
	// Messages of one sender arrive in order: its end marker comes after all its others.
	bool drained = settle(
	    r, PROGRESS_LIMIT_MS, "for every end marker at every session",
	    [&] {
		    for (Session *s : survivors)
			    if (s->end != End::ALIVE || s->ends_from.size() < survivors.size())
				    return false;
		    return true;
	    },
	    [&] {
		    size_t n = 0;
		    for (Session *s : survivors)
			    n += s->ends_from.size();
		    return n;
	    });
	if (!drained) {
		for (Session *s : survivors)
			if (s->end == End::ALIVE && s->ends_from.size() < survivors.size())
				fail(r, describe(*s) + " has " + std::to_string(s->ends_from.size()) + " of " +
					    std::to_string(survivors.size()) + " end markers");
	}
	check_deliveries(r);
	return drained;
}

// Everybody leaves: raw clients close, api sessions see the end of their input.
void leave(Round &r)
{
	for (auto &up : r.sessions) {
		Session *s = up.get();
		if (s->end != End::ALIVE)
			continue;
		s->end = End::CLOSED;
		if (s->kind == Kind::RAW) {
			close_all(s);
		} else {
			close(s->proc.in);
			s->proc.in = -1;
		}
	}
	settle(r, SETTLE_LIMIT_MS, "for every api session to end", [&] {
		for (auto &up : r.sessions)
			if (up->kind == Kind::API && !up->reaped)
				return false;
		return true;
	});
	for (auto &up : r.sessions)
		close_all(up.get());
}

}  // namespace

bool run_round(Context *ctx, const RoundConfig &cfg, Figures *fig)
{
	Round r;
	r.ctx = ctx;
	r.cfg = &cfg;
	r.fig = fig;
	printf("%s: %d sessions, %.0f s of traffic, %.1f posts/s, %d clients that stop reading\n", cfg.title.c_str(),
	       cfg.sessions, cfg.seconds, cfg.post_rate, cfg.stalls);
	fflush(stdout);
	// Two slots share each name, so a private message reaches two sessions and a sender's
	// copies reach its other session.
	r.slots.resize((size_t)cfg.sessions);
	for (size_t i = 0; i < r.slots.size(); i++) {
		r.slots[i].name = "u" + std::to_string(i / 2);
		r.slots[i].steady = uniform(r, 0, 1) < STEADY_SHARE;
		fill_slot(r, (int)i, true);
		pump(r, 0);	// the first sessions read their announcements while the others start
	}
	for (int k = 0; k < cfg.stalls; k++) {
		Session *s = new_session(r, Kind::RAW, "stall" + std::to_string(ctx->next_stall++),
					 k % (int)ctx->hosts.size());
		if (s == nullptr)
			continue;
		s->stall_client = true;
		r.stall_clients.push_back(s);
	}
	if (ctx->cluster != nullptr)
		for (size_t h = 0; h < ctx->hosts.size(); h++)
			if (ctx->hosts[h]->up)
				add_probe(r, (int)h);
	std::string missing;
	bool ok = settle(r, JOIN_LIMIT_MS, "for the first logins", [&] { return all_joined(r, &missing); });
	if (!ok) {
		fail(r, "not joined:" + missing);
	} else {
		r.traffic = true;
		r.traffic_start_ms = tt::now_ms();
		r.next_post_ms = (double)r.traffic_start_ms;
		r.next_fault_ms = (double)r.traffic_start_ms + exponential_ms(r, faults_per_second(r));
		for (size_t k = 0; k < r.stall_clients.size(); k++)
			r.stall_due_ms.push_back(r.traffic_start_ms +
						 (int64_t)(uniform(r, 0.1, 0.6) * cfg.seconds * 1000.0));
		int64_t end = r.traffic_start_ms + (int64_t)(cfg.seconds * 1000.0);
		while (tt::now_ms() < end && !r.server_gone)
			step(r);
		ok = !r.server_gone && finish_round(r);
	}
	if (!r.server_gone)
		leave(r);
	return ok;
}

void print_figures(const RoundConfig &cfg, const Figures &f)
{
	printf("%s figures:\n", cfg.title.c_str());
	printf("  traffic %.0f s; sessions started: %llu raw, %llu api; %llu still connected at the end\n",
	       f.traffic_seconds, (unsigned long long)f.started_raw, (unsigned long long)f.started_api,
	       (unsigned long long)f.survivors);
	printf("  posts %llu: %llu global, %llu private, %llu to an offline name, %llu big ones to clients that "
	       "stopped reading, %llu end markers; %llu never wholly written\n",
	       (unsigned long long)f.posts, (unsigned long long)f.global_posts, (unsigned long long)f.private_posts,
	       (unsigned long long)f.nobody_posts, (unsigned long long)f.fill_posts, (unsigned long long)f.end_markers,
	       (unsigned long long)f.unsent_posts);
	printf("  deliveries %llu; required deliveries proven %llu", (unsigned long long)f.deliveries,
	       (unsigned long long)f.proven);
	if (f.proven_bus > 0)
		printf(" (%llu of them from another server); and %llu of messages whose senders went, which reached all "
		       "the sessions connected throughout or none",
		       (unsigned long long)f.proven_bus, (unsigned long long)f.proven_gone);
	printf("\n");
	printf("  faults: %llu raw closes, %llu api input closes, %llu api pipes closed, %llu kill -9, %llu dropped "
	       "for not reading (%.1f-%.1f s after they stopped)\n",
	       (unsigned long long)f.raw_closes, (unsigned long long)f.api_closes,
	       (unsigned long long)f.api_hard_closes, (unsigned long long)f.kills, (unsigned long long)f.drops,
	       f.drop_delay_min, f.drop_delay_max);
	if (cfg.server_faults)
		printf("  sessions that went with their server: %llu\n", (unsigned long long)f.server_killed);
	printf("  server peak Rss %ld KiB\n", f.peak_rss_kb);
	fflush(stdout);
}

}  // namespace soak
