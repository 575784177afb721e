#include "tests/admin/admin-fixture.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

// Feeds input, then collects output and error until both end.
AdmResult run_with_input(const tt::Spec &spec, const std::string &input)
{
	AdmResult r;
	tt::Process p;
	if (!tt::spawn(spec, &p))
		return r;
	if (!input.empty())
		tt::write_all(p.in, input);
	p.close_in();
	bool out_open = true, err_open = true;
	for (int rounds = 0; (out_open || err_open) && rounds < 3000; rounds++) {
		struct pollfd fds[2] = {{p.out, POLLIN, 0}, {p.err, POLLIN, 0}};
		if (!out_open)
			fds[0].fd = -1;
		if (!err_open)
			fds[1].fd = -1;
		if (poll(fds, 2, 10) <= 0)
			continue;
		for (int i = 0; i < 2; i++) {
			if (fds[i].revents == 0)
				continue;
			char buf[4096];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n <= 0)
				(i == 0 ? out_open : err_open) = false;
			else
				(i == 0 ? r.out : r.err).append(buf, (size_t)n);
		}
	}
	if (p.wait(10000))
		r.code = p.exit_code();
	return r;
}

std::string b64(const std::string &data)
{
	static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	for (size_t i = 0; i < data.size(); i += 3) {
		unsigned v = (unsigned char)data[i] << 16;
		size_t n = std::min<size_t>(3, data.size() - i);
		if (n > 1)
			v |= (unsigned char)data[i + 1] << 8;
		if (n > 2)
			v |= (unsigned char)data[i + 2];
		for (size_t k = 0; k < 4; k++)
			out += k <= n ? abc[(v >> (18 - 6 * k)) & 63] : '=';
	}
	return out;
}

std::string u32(uint32_t v)
{
	return {(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
}

}  // namespace

void AdminTest::SetUp()
{
	signal(SIGPIPE, SIG_IGN);	// a tool that ends without reading its input
	ASSERT_TRUE(tt::create_account("tolvar", &account_));
	char tmpl[] = "/tmp/tolvar-admin-keys-XXXXXX";
	ASSERT_NE(mkdtemp(tmpl), nullptr);
	key_dir_ = tmpl;
}

void AdminTest::TearDown()
{
	tt::remove_account(account_);
	if (!key_dir_.empty())
		system(("rm -rf " + quote(key_dir_)).c_str());
}

std::vector<std::string> AdminTest::default_env()
{
	return {"PATH=/usr/bin:/bin", "HOME=/nonexistent", "LC_ALL=C.UTF-8"};
}

AdmResult AdminTest::adm_as(uid_t uid, gid_t gid, const std::vector<std::string> &args, const std::string &input,
			    const std::vector<std::string> &env)
{
	tt::Spec s;
	s.argv = {tt::tolvaradm_path()};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.env = env;
	s.uid = uid;
	s.gid = gid;
	return run_with_input(s, input);
}

AdmResult AdminTest::adm(const std::vector<std::string> &args, const std::string &input)
{
	return adm_as(account_.uid, account_.gid, args, input);
}

AdmResult AdminTest::adm_root(const std::vector<std::string> &args, const std::string &input)
{
	return adm_as(0, 0, args, input);
}

AdmResult AdminTest::adm_root_in_group(gid_t extra, const std::vector<std::string> &args)
{
	tt::Spec s;
	s.argv = {"/usr/bin/setpriv", "--groups", "0," + std::to_string(extra), tt::tolvaradm_path()};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.env = default_env();
	return run_with_input(s, "");
}

AdmResult AdminTest::adm_limited(int blocks, const std::vector<std::string> &args, const std::string &input)
{
	tt::Spec s;
	s.argv = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f " + std::to_string(blocks) + "; exec \"$@\"", "sh",
		  tt::tolvaradm_path()};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.env = default_env();
	s.uid = account_.uid;
	s.gid = account_.gid;
	return run_with_input(s, input);
}

bool AdminTest::adm_pty(const std::vector<std::string> &args, tt::Process *p)
{
	tt::Spec s;
	s.argv = {tt::tolvaradm_path()};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.env = default_env();
	s.env.push_back("TERM=dumb");
	s.uid = account_.uid;
	s.gid = account_.gid;
	s.pty = true;
	return tt::spawn(s, p);
}

std::string AdminTest::read_file(const std::string &rel) const
{
	std::ifstream in(path(rel), std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

bool AdminTest::exists(const std::string &rel) const
{
	struct stat st;
	return lstat(path(rel).c_str(), &st) == 0;
}

void AdminTest::make_ssh_dir(mode_t mode)
{
	std::string dir = path(".ssh");
	mkdir(dir.c_str(), mode);
	ASSERT_EQ(chmod(dir.c_str(), mode), 0);
	ASSERT_EQ(chown(dir.c_str(), account_.uid, account_.gid), 0);
}

void AdminTest::write_file(const std::string &rel, const std::string &content, mode_t mode)
{
	if (rel.rfind(".ssh/", 0) == 0 && !exists(".ssh"))
		make_ssh_dir();
	std::string p = path(rel);
	FILE *f = fopen(p.c_str(), "w");
	ASSERT_NE(f, nullptr) << p;
	fwrite(content.data(), 1, content.size(), f);
	fclose(f);
	ASSERT_EQ(chmod(p.c_str(), mode), 0);
	ASSERT_EQ(chown(p.c_str(), account_.uid, account_.gid), 0);
}

mode_t AdminTest::mode_of(const std::string &rel) const
{
	struct stat st;
	if (stat(path(rel).c_str(), &st) < 0)
		return (mode_t)-1;
	return st.st_mode & 07777;
}

std::vector<std::string> AdminTest::ssh_dir_names() const
{
	std::vector<std::string> names;
	DIR *d = opendir(path(".ssh").c_str());
	if (d == nullptr)
		return names;
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n != "." && n != "..")
			names.push_back(n);
	}
	closedir(d);
	std::sort(names.begin(), names.end());
	return names;
}

GeneratedKey AdminTest::keygen(const std::string &type, int bits, const std::string &comment)
{
	GeneratedKey k;
	static int serial;
	std::string file = key_dir_ + "/key" + std::to_string(++serial) + "-" + type + std::to_string(bits);
	std::string cmd = "ssh-keygen -q -N '' -t " + type + (bits > 0 ? " -b " + std::to_string(bits) : "") +
			  " -C " + quote(comment) + " -f " + quote(file) + " </dev/null >/dev/null 2>&1";
	if (system(cmd.c_str()) != 0)
		return k;
	k.pub_path = file + ".pub";
	std::ifstream in(k.pub_path);
	std::getline(in, k.line);
	size_t s1 = k.line.find(' ');
	size_t s2 = k.line.find(' ', s1 + 1);
	k.type = k.line.substr(0, s1);
	k.base64 = k.line.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
	k.comment = s2 == std::string::npos ? "" : k.line.substr(s2 + 1);
	return k;
}

std::string AdminTest::fake_key(const std::string &type_name, unsigned int seed)
{
	std::string body;
	for (int i = 0; i < 32; i++)
		body += (char)((seed >> (8 * (i % 4))) + (unsigned)i * 7);
	return type_name + " " + b64(u32((uint32_t)type_name.size()) + type_name + u32(32) + body);
}

std::string AdminTest::entry(const std::string &user, const std::string &key_text)
{
	return "command=\"" + user + "\",no-agent-forwarding,no-port-forwarding " + key_text + "\n";
}
