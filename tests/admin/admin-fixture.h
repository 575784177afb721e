// What the tests of the real tolvaradm share: the service account "tolvar" with a fresh home,
// runs of the tool as root, as the account or as another user, on pipes or a terminal, keys
// made by ssh-keygen, and the files of the home directory.
#ifndef TOLVAR_TESTS_ADMIN_FIXTURE_H
#define TOLVAR_TESTS_ADMIN_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/support.h"

struct AdmResult {
	int code = -1;
	std::string out, err;
};

// A key made by ssh-keygen: its public key line and the files for ssh-keygen -l.
struct GeneratedKey {
	std::string pub_path;
	std::string line;	// type word, space, Base64 text, space, comment
	std::string type;	// the type word
	std::string base64;
	std::string comment;
};

class AdminTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Runs tolvaradm with args, input on standard input (a pipe) and the given environment.
	AdmResult adm(const std::vector<std::string> &args, const std::string &input = "");
	AdmResult adm_as(uid_t uid, gid_t gid, const std::vector<std::string> &args, const std::string &input = "",
			 const std::vector<std::string> &env = default_env());
	AdmResult adm_root(const std::vector<std::string> &args, const std::string &input = "");
	// Runs tolvaradm as root with group 0 and the supplementary groups 0 and extra, as an
	// administrator's root shell may have them.
	AdmResult adm_root_in_group(gid_t extra, const std::vector<std::string> &args);
	// Runs tolvaradm as the account with a file size limit (in 512-byte blocks), so that writes
	// beyond it fail (the signal they raise is ignored).
	AdmResult adm_limited(int blocks, const std::vector<std::string> &args, const std::string &input = "");
	// Starts tolvaradm as the account on a pseudo-terminal.
	bool adm_pty(const std::vector<std::string> &args, tt::Process *p);
	static std::vector<std::string> default_env();

	std::string path(const std::string &rel) const { return account_.home + "/" + rel; }
	std::string keys() const { return read_file(".ssh/authorized_keys"); }
	std::string read_file(const std::string &rel) const;
	bool exists(const std::string &rel) const;
	// Writes a file of the home (as the account's), creating .ssh when needed.
	void write_file(const std::string &rel, const std::string &content, mode_t mode = 0600);
	void make_ssh_dir(mode_t mode = 0700);
	mode_t mode_of(const std::string &rel) const;
	// Names of the files in .ssh.
	std::vector<std::string> ssh_dir_names() const;

	// ssh-keygen -t type (with -b bits when bits > 0) in the test's key directory.
	GeneratedKey keygen(const std::string &type, int bits = 0, const std::string &comment = "");
	// A key that only the tool's checks need (type name and made-up key data), distinct per seed.
	static std::string fake_key(const std::string &type_name, unsigned int seed);
	// The entry line adduser writes.
	static std::string entry(const std::string &user, const std::string &key_text);

	tt::Account account_;
	std::string key_dir_;
};

#endif
