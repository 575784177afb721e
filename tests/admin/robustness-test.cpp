// The key file under crashes, failing writes and concurrent runs: it is always a whole old or
// whole new file, and no entry that a run added is lost.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/admin/admin-fixture.h"

namespace {

class RobustnessTest : public AdminTest {
protected:
	std::string k(unsigned int seed) { return fake_key("ssh-ed25519", seed); }

	// Removes temporary files that a killed run left in .ssh.
	void remove_leftovers(int *count)
	{
		for (const std::string &n : ssh_dir_names()) {
			if (n.rfind("authorized_keys.", 0) == 0 && n != "authorized_keys.lock") {
				unlink(path(".ssh/" + n).c_str());
				(*count)++;
			}
		}
	}
};

using Clock = std::chrono::steady_clock;

}  // namespace

TEST_F(RobustnessTest, KilledRemoveuserLeavesTheOldOrTheNewFile)
{
	std::string old_content, new_content;
	for (unsigned int i = 0; i < 6000; i++) {
		std::string e = entry(i % 600 == 300 ? "victim" : "user" + std::to_string(i), k(i));
		old_content += e;
		if (i % 600 != 300)
			new_content += e;
	}
	write_file(".ssh/authorized_keys", old_content);

	// How long an undisturbed run takes, to spread the kills over it.
	auto start = Clock::now();
	AdmResult r = adm({"removeuser", "-f", "victim"});
	ASSERT_EQ(r.code, 0) << r.err;
	ASSERT_EQ(keys(), new_content);
	long run_us = (long)std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();

	std::mt19937 random(12345);
	std::uniform_int_distribution<long> delay(0, run_us + run_us / 4);
	int old_seen = 0, new_seen = 0, leftovers = 0;
	for (int i = 0; i < 30; i++) {
		write_file(".ssh/authorized_keys", old_content);
		tt::Spec s;
		s.argv = {tt::tolvaradm_path(), "removeuser", "-f", "victim"};
		s.env = default_env();
		s.uid = account_.uid;
		s.gid = account_.gid;
		s.stdin_null = true;
		tt::Process p;
		ASSERT_TRUE(tt::spawn(s, &p));
		std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
		p.kill_now(SIGKILL);
		ASSERT_TRUE(p.wait(10000));
		std::string now = keys();
		ASSERT_TRUE(now == old_content || now == new_content) << "iteration " << i << ": a mixture of "
								       << now.size() << " bytes";
		(now == old_content ? old_seen : new_seen)++;
		remove_leftovers(&leftovers);
	}
	// For the log: how the kills fell (a left temporary file means a kill in the middle).
	printf("kills: %d before the rename, %d after, %d in the middle of writing\n", old_seen, new_seen, leftovers);
}

TEST_F(RobustnessTest, FailingWritesLeaveTheKeyFile)
{
	std::string content;
	for (unsigned int i = 0; i < 60; i++)
		content += entry(i % 3 == 0 ? "victim" : "user" + std::to_string(i), k(i));
	ASSERT_GT(content.size(), 4096u);
	write_file(".ssh/authorized_keys", content, 0640);
	AdmResult r = adm_limited(8, {"removeuser", "-f", "victim"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Failed to remove user: File too large\n");
	EXPECT_EQ(keys(), content);
	EXPECT_EQ(mode_of(".ssh/authorized_keys"), 0640u);
	EXPECT_EQ(ssh_dir_names(), (std::vector<std::string>{"authorized_keys", "authorized_keys.lock"}));

	// adduser's append that cannot be written leaves the file as it was.
	r = adm_limited(8, {"adduser", "-f", "-a", k(1000), "newcomer"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "fprintf: File too large\n");
	EXPECT_EQ(keys(), content);
}

TEST_F(RobustnessTest, ConcurrentAddsAndRemovesLoseNothing)
{
	const int adders = 3, removers = 2, per_worker = 8;
	std::string padding, content;
	for (unsigned int i = 0; i < 400; i++)
		padding += entry("pad" + std::to_string(i), k(i));
	content = padding;
	for (int i = 0; i < removers * per_worker; i++)
		content += entry("victim" + std::to_string(i), k(10000 + (unsigned)i));
	write_file(".ssh/authorized_keys", content);

	std::vector<tt::Process> workers(adders + removers);
	for (int w = 0; w < adders + removers; w++) {
		tt::Spec s;
		s.env = default_env();
		s.uid = account_.uid;
		s.gid = account_.gid;
		s.stdin_null = true;
		s.merge_stderr = true;
		if (w < adders) {
			s.argv = {"/bin/sh", "-c",
				  "adm=$1; shift; i=0; for key in \"$@\"; do i=$((i+1));"
				  " \"$adm\" adduser -f -a \"$key\" \"keeper" + std::to_string(w) + "-$i\" || exit 1; done",
				  "sh", tt::tolvaradm_path()};
			for (int i = 0; i < per_worker; i++)
				s.argv.push_back(k(20000 + (unsigned)(w * per_worker + i)));
		} else {
			int first = (w - adders) * per_worker;
			s.argv = {"/bin/sh", "-c",
				  "adm=$1; shift; for user in \"$@\"; do \"$adm\" removeuser -f \"$user\" || exit 1; done", "sh",
				  tt::tolvaradm_path()};
			for (int i = 0; i < per_worker; i++)
				s.argv.push_back("victim" + std::to_string(first + i));
		}
		ASSERT_TRUE(tt::spawn(s, &workers[w]));
	}
	for (auto &p : workers) {
		std::string out;
		tt::read_to_eof(p.out, 60000, &out);
		ASSERT_TRUE(p.wait(60000));
		EXPECT_EQ(p.exit_code(), 0) << out;
	}

	std::string now = keys();
	EXPECT_EQ(now.substr(0, padding.size()), padding);
	for (int w = 0; w < adders; w++) {
		for (int i = 0; i < per_worker; i++) {
			std::string e = entry("keeper" + std::to_string(w) + "-" + std::to_string(i + 1),
					      k(20000 + (unsigned)(w * per_worker + i)));
			size_t at = now.find(e);
			EXPECT_NE(at, std::string::npos) << "lost: " << e;
			EXPECT_EQ(now.find(e, at + 1), std::string::npos) << "twice: " << e;
		}
	}
	EXPECT_EQ(now.find("victim"), std::string::npos);
	EXPECT_EQ(now.size(), padding.size() + (size_t)(adders * per_worker) * entry("keeper0-1", k(1)).size());
}

TEST_F(RobustnessTest, WaitsForTheLockOfAnotherRun)
{
	write_file(".ssh/authorized_keys", entry("alice", k(1)));
	write_file(".ssh/authorized_keys.lock", "");
	int held = open(path(".ssh/authorized_keys.lock").c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_GE(held, 0);
	ASSERT_EQ(flock(held, LOCK_EX), 0);

	tt::Spec s;
	s.argv = {tt::tolvaradm_path(), "adduser", "-f", "-a", k(2), "bob"};
	s.env = default_env();
	s.uid = account_.uid;
	s.gid = account_.gid;
	s.stdin_null = true;
	tt::Process p;
	ASSERT_TRUE(tt::spawn(s, &p));
	std::string err;
	EXPECT_TRUE(tt::read_until(p.err, "Waiting for another run of tolvaradm to finish with .ssh/authorized_keys\n",
				   10000, &err))
		<< err;
	EXPECT_FALSE(p.wait(100));
	EXPECT_EQ(keys(), entry("alice", k(1)));
	close(held);
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0);
	EXPECT_EQ(keys(), entry("alice", k(1)) + entry("bob", k(2)));
}
