// The command interpreter: chat lines and the slash commands.
#ifndef TOLVAR_CLI_CLI_COMMANDS_H
#define TOLVAR_CLI_CLI_COMMANDS_H

// A command handler: the server socket, the word count and the words (word 0 is the command
// word as typed, a null entry follows the last). The words belong to do_command.
typedef void (*CommandHandler)(int server_fd, int argc, char **argv);

// What the first argument of a command is, for its completion.
enum CommandArg {
	ARG_NONE,		// nothing completed
	ARG_ONLINE_USER,	// the name of a user who is online
	ARG_IGNORED_USER,	// the name of an ignored user
};

struct CommandEntry {
	const char *name;	// without the slash; nullptr ends the table
	const char *usage;	// the argument synopsis that /help shows
	CommandHandler handler;
	CommandArg arg;		// what Tab completes in the first argument
};

// The commands in the order of /help and of completion, ended by a row without a name.
extern const CommandEntry command_table[];

// Runs one input line (NUL-terminated, without its terminator; the caller keeps it): a line
// without a leading "/" is sent to everybody, a "/" line is run as a command.
void do_command(int server_fd, const char *line);

// Shows the message of the day from the file "motd" (its first 1024 bytes). silent: a missing
// file passes without a word.
void print_motd(int silent);

// /pasteimage <user>: sends the clipboard's JPEG image, as xclip prints it, to user.
void cli_command_pasteimage(int server_fd, int argc, char **argv);

#endif
