// The administration tool: its subcommand table and what the subcommands share.
#ifndef TOLVAR_ADMIN_ADMIN_H
#define TOLVAR_ADMIN_ADMIN_H

#include <sys/types.h>

#include <cstdio>
#include <memory>

// One row of the subcommand table. The handler gets the arguments from the subcommand name on
// and returns the exit status, or -1 for a wrong command line (status 255).
struct Subcommand {
	const char *name;
	const char *synopsis;
	int (*handler)(int argc, char **argv);
};

// The table, closed by a row whose name is null.
extern const Subcommand subcommands[];

// The user id of the service account, set by the entry before any handler runs.
extern uid_t account_uid;
// The real user id the tool was started with (root, or the account), before the entry took
// on the account's: the administrator named in requests to the server.
extern uid_t admin_uid;

// The whole tool; returns the exit status (-1 for a wrong command line).
int tolvaradm_main(int argc, char **argv);

// Writes the subcommand list to standard error.
void print_subcommands(void);
// Writes the usage line of the named subcommand to standard error.
void print_usage(const char *name);
// Reads answers from standard input until one says yes (1) or no (0); end of input is no.
int read_yes_no(void);
// Removes a stray .ssh/rc. Returns 0 when there is none (any longer), -1 after saying why.
int check_ssh_rc(void);

// Opens a file of the home as fopen does with mode "r", "r+" or "a+", but fails (ELOOP) when
// path names a symbolic link: the account may plant one, and none of its files is ever one.
// Returns the stream (caller closes), or null with errno.
FILE *fopen_nofollow(const char *path, const char *mode);

// Subcommand handlers.
int cmd_adduser(int argc, char **argv);
int cmd_removeuser(int argc, char **argv);
int cmd_listuser(int argc, char **argv);
int cmd_getmotd(int argc, char **argv);
int cmd_setmotd(int argc, char **argv);
int cmd_who(int argc, char **argv);
int cmd_kick(int argc, char **argv);
int cmd_mute(int argc, char **argv);
int cmd_unmute(int argc, char **argv);
int cmd_stats(int argc, char **argv);

// Ends every live session of user, each told message, when a server runs. Returns the number
// ended (0 also when no server runs), or -1 after saying why.
int end_sessions_of(const char *user, const char *message);

// A stream, closed when the holder goes (for paths where nothing written can be lost).
struct FileCloser {
	void operator()(FILE *f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

#endif
