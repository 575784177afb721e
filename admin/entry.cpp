#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "admin/admin.h"
#include "common/holders.h"
#include "common/i18n.h"

const Subcommand subcommands[] = {
	{"adduser", "[-a <public-key-in-base64>] [-f] <user-name>", cmd_adduser},
	{"removeuser", "[-f] <user-name>", cmd_removeuser},
	{"listuser", "[-h {md5|sha256}]", cmd_listuser},
	{"getmotd", "", cmd_getmotd},
	{"setmotd", "[-m <message> | -d]", cmd_setmotd},
	{"who", "[-t]", cmd_who},
	{"kick", "<user-name> [<message>]", cmd_kick},
	{"mute", "[<user-name> <duration>]", cmd_mute},
	{"unmute", "<user-name>", cmd_unmute},
	{"stats", "[--prometheus]", cmd_stats},
	{nullptr, nullptr, nullptr},
};

uid_t account_uid;
uid_t admin_uid;

void print_subcommands(void)
{
	fputs(_("Following subcommands are available:\n"), stderr);
	for (const Subcommand *c = subcommands; c->name != nullptr; c++)
		fprintf(stderr, "\t%s %s\n", c->name, c->synopsis);
}

void print_usage(const char *name)
{
	for (const Subcommand *c = subcommands; c->name != nullptr; c++) {
		if (strcmp(c->name, name) == 0) {
			fprintf(stderr, _("Usage: %s %s\n"), c->name, c->synopsis);
			return;
		}
	}
	fprintf(stderr, _("Error: cannot find usage for command '%s'"), name);
}

int tolvaradm_main(int argc, char **argv)
{
	setlocale(LC_ALL, "");
	textdomain(TOLVAR_TEXT_DOMAIN);

	struct passwd *pw = getpwnam("tolvar");
	if (pw == nullptr) {
		fputs(_("tolvar user account not exist\n"), stderr);
		return 1;
	}
	if (pw->pw_uid == 0) {
		fputs(_("tolvar user account have UID 0\n"), stderr);
		return 1;
	}
	if (argc <= 1) {
		print_subcommands();
		return -1;
	}
	account_uid = pw->pw_uid;
	admin_uid = getuid();
	gid_t account_gid = pw->pw_gid;
	// The user database may reuse its static entry; keep our own copy of the path.
	MallocPtr<char> home(strdup(pw->pw_dir));
	if (home == nullptr) {
		perror("strdup");
		return 1;
	}

	uid_t euid = geteuid();
	if (euid == 0) {
		// The groups before the user id, which changing them needs. Root's group and
		// supplementary groups would otherwise open their files to the run, through any link
		// the account plants.
		if (initgroups("tolvar", account_gid) < 0) {
			perror("initgroups");
			return 1;
		}
		if (setregid(account_gid, account_gid) < 0) {
			perror("setregid");
			return 1;
		}
		if (setreuid(account_uid, account_uid) < 0) {
			perror("setreuid");
			return 1;
		}
	} else if (euid != account_uid) {
		fprintf(stderr, _("Current effective UID %u doesn't equal to tolvar user account\n"),
			(unsigned int)euid);
		return 1;
	}

	struct stat st;
	if (stat(home.get(), &st) < 0) {
		perror(home.get());
		return 1;
	}
	if (st.st_uid != account_uid) {
		fprintf(stderr, _("Home directory '%s' is not owned by tolvar (expecting UID=%u, got %u)\n"),
			home.get(), (unsigned int)account_uid, (unsigned int)st.st_uid);
		return 1;
	}
	if (setenv("HOME", home.get(), 1) < 0) {
		perror("setenv");
		return 1;
	}
	if (chdir(home.get()) < 0) {
		perror(home.get());
		return 1;
	}

	for (const Subcommand *c = subcommands; c->name != nullptr; c++) {
		if (strcmp(c->name, argv[1]) == 0)
			return c->handler(argc - 1, argv + 1);
	}
	fprintf(stderr, _("Unknown command '%s'\n"), argv[1]);
	print_subcommands();
	return -1;
}
