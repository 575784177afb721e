// What a chat session adds to an SSH login: sequential logins through a private sshd on a
// free loopback port, "ssh ... api" for a chat user (key registered with tolvaradm adduser,
// up to the PASS answer, then the input is closed and the client waits for its end) beside
// "ssh ... true" for a normal account on the same sshd. Run as root: it creates the service
// account and a normal account, both thrown away afterwards.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench-support.h"
#include "testing/sshd.h"

namespace {

constexpr int WARM_UP = 3;
constexpr int TIMEOUT_MS = 20000;

struct Options {
	long logins = 50;
	long repetitions = 1;
	bool verbose = false;
	std::string server;
};

void usage(const char *program)
{
	fprintf(stderr,
		"usage: %s [-k K] [-r R] [-v] [--server PATH]\n"
		"  -k  logins of each kind per run, alternating (default 50)\n"
		"  -r  runs, pooled (default 1)\n"
		"  -v  print every login's times on standard error\n"
		"  --server  tolvard to measure (default $TOLVAR_BENCH_SERVER, else the built tolvard)\n"
		"Run as root.\n",
		program);
}

struct Setup {
	std::string dir;	// keys, sshd's files, the client's home
	tt::Account service;	// the chat account, tolvard its login shell
	tt::Account normal;	// an ordinary account with /bin/sh
	tt::Server server;
	tt::Sshd sshd;
};

bool prepare(const Options &o, Setup *s)
{
	s->dir = tt::make_scratch_dir("tolvar-bench-logins");
	if (s->dir.empty() || !tt::create_account("tolvar", &s->service, tt::program_path(o.server)) ||
	    !tt::create_account(tt::unique_account_name("tvlogin"), &s->normal, "/bin/sh") ||
	    !tt::unlock_for_ssh(s->service.name) || !tt::unlock_for_ssh(s->normal.name))
		return false;
	if (!tt::start_server(s->service, &s->server, o.server)) {
		fprintf(stderr, "logins: the server did not start\n");
		return false;
	}
	std::string err;
	if (!tt::make_key(s->dir + "/chat", "bench") || !tt::make_key(s->dir + "/normal", "bench"))
		return false;
	if (!tt::register_key(s->dir + "/chat.pub", "bench", &err)) {
		fprintf(stderr, "logins: tolvaradm adduser failed: %s\n", err.c_str());
		return false;
	}
	std::string owner = tt::shell_quote(s->normal.name), ssh_dir = s->normal.home + "/.ssh";
	if (tt::shell("install -d -m 0700 -o " + owner + " " + tt::shell_quote(ssh_dir) + " && install -m 0600 -o " +
		      owner + " " + tt::shell_quote(s->dir + "/normal.pub") + " " +
		      tt::shell_quote(ssh_dir + "/authorized_keys")) != 0)
		return false;
	if (!tt::start_sshd(s->dir, "tolvar " + s->normal.name, &s->sshd)) {
		fprintf(stderr, "logins: sshd did not start\n");
		return false;
	}
	return true;
}

void tear_down(Setup *s)
{
	tt::stop_sshd(&s->sshd);
	tt::stop_server(&s->server);
	tt::remove_account(s->normal);
	tt::remove_account(s->service);
	tt::remove_tree(s->dir);
}

tt::Spec ssh_spec(const Setup &s, const std::string &key, const std::string &target, const std::string &command)
{
	tt::Spec spec;
	spec.argv = tt::ssh_argv(s.dir + "/" + key, s.sshd.port);
	for (const std::string &a : {std::string("-T"), target + "@127.0.0.1", command})
		spec.argv.push_back(a);
	spec.env = {"PATH=/usr/bin:/bin", "HOME=" + s.dir, "LANG=en_US.UTF-8"};
	return spec;
}

// One "ssh ... true": milliseconds until the client has ended, or -1.
double login_true(const Setup &s)
{
	tt::Spec spec = ssh_spec(s, "normal", s.normal.name, "true");
	int64_t start = tt::now_ns();
	std::string out, err;
	if (tt::run(spec, &out, &err, TIMEOUT_MS) != 0) {
		fprintf(stderr, "logins: ssh ... true failed: %s\n", err.c_str());
		return -1;
	}
	return (double)(tt::now_ns() - start) / 1e6;
}

// One "ssh ... api" up to PASS, then closed: milliseconds until the client has ended, or -1;
// *to_pass gets the milliseconds until PASS.
double login_api(const Setup &s, double *to_pass)
{
	tt::Spec spec = ssh_spec(s, "chat", "tolvar", "api");
	int64_t start = tt::now_ns();
	tt::Process p;
	bench::ApiStream in;
	if (!tt::spawn(spec, &p) || !bench::api_handshake(&p, &in, TIMEOUT_MS)) {
		std::string err;
		tt::read_for(p.err, 100, &err);
		fprintf(stderr, "logins: ssh ... api gave no PASS: %s\n", err.c_str());
		return -1;
	}
	*to_pass = (double)(tt::now_ns() - start) / 1e6;
	p.close_in();
	std::string rest;
	tt::read_to_eof(p.out, TIMEOUT_MS, &rest);
	if (!p.wait(TIMEOUT_MS) || p.exit_code() != 0) {
		fprintf(stderr, "logins: ssh ... api ended with %d\n", p.exit_code());
		return -1;
	}
	return (double)(tt::now_ns() - start) / 1e6;
}

double mean(const std::vector<double> &v)
{
	double sum = 0;
	for (double x : v)
		sum += x;
	return v.empty() ? 0 : sum / (double)v.size();
}

std::vector<std::string> row(const std::string &what, const std::vector<double> &ms, const std::string &extra)
{
	double m = mean(ms);
	return {what, std::to_string(ms.size()), bench::format("%.1f", 1000.0 / m), bench::format("%.2f ms", m),
		bench::format("%.2f ms", bench::median(ms)), extra};
}

}  // namespace

int main(int argc, char **argv)
{
	Options o;
	std::string server_opt;
	bench::parse_options(argc, argv,
			     {bench::count_option('k', &o.logins), bench::count_option('r', &o.repetitions),
			      bench::flag_option('v', nullptr, &o.verbose), bench::text_option("server", &server_opt)},
			     usage);
	o.server = bench::server_binary(server_opt, "TOLVAR_BENCH_SERVER", "tolvard");
	bench::begin(argv[0], 0);
	if (access("/usr/sbin/sshd", X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0) {
		fprintf(stderr, "%s: needs /usr/sbin/sshd and /usr/bin/ssh (scripts/install-deps.sh)\n", argv[0]);
		return 1;
	}
	Setup s;
	bool ok = prepare(o, &s);
	std::vector<double> plain, api, api_pass;
	for (int i = 0; ok && i < WARM_UP; i++) {
		double pass;
		ok = login_true(s) >= 0 && login_api(s, &pass) >= 0;
	}
	// Alternating, so that whatever else the machine does weighs on both alike.
	for (long i = 0; ok && i < o.logins * o.repetitions; i++) {
		double pass = 0;
		double t = login_true(s);
		double a = t < 0 ? -1 : login_api(s, &pass);
		ok = t >= 0 && a >= 0;
		if (ok) {
			plain.push_back(t);
			api.push_back(a);
			api_pass.push_back(pass);
			if (o.verbose)
				fprintf(stderr, "login %ld: true %.1f ms, api %.1f ms (PASS after %.1f ms)\n", i, t, a, pass);
		}
	}
	tear_down(&s);
	if (!ok) {
		fprintf(stderr, "%s: a login failed\n", argv[0]);
		return 1;
	}

	printf("Logins through a private sshd on 127.0.0.1 (ed25519 keys), one at a time, the two kinds "
	       "alternating; %d of each as warm-up. Each login counts from starting ssh to its end.\n\n",
	       WARM_UP);
	bench::Table t;
	t.header = {"login", "logins", "logins/s", "mean", "median", "note"};
	t.rows.push_back(row("ssh ... true (normal account)", plain, "-"));
	t.rows.push_back(row("ssh ... api, to PASS, then closed (chat account)", api,
			     bench::format("PASS after %.2f ms (mean)", mean(api_pass))));
	t.print();
	double added = (mean(api) - mean(plain)) / mean(plain) * 100.0;
	printf("\nThe chat session adds %.1f %% to a login (mean; target: under 10 %%). Server and login shell: "
	       "%s. Machine: %s.\n",
	       added, o.server.c_str(), bench::machine_line().c_str());
	return 0;
}
