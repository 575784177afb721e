// What the user types: readline in callback mode on a terminal, raw lines otherwise; ^C and
// window-size changes are handled outside the signal handler.
#ifndef TOLVAR_CLI_CLI_INPUT_H
#define TOLVAR_CLI_CLI_INPUT_H

// Sets readline up (input line drawn on standard error, no prompt, completion of command
// and user names, bracketed paste, our own SIGINT and SIGWINCH handler, RL_EDITING_MODE).
void cli_input_setup_readline(void);

// The do_stdin operation: reads what standard input has and runs each complete line.
void cli_do_stdin(int server_fd);

// The do_after_signal operation: after ^C, discards the line being edited.
void cli_do_after_signal(void);

#endif
