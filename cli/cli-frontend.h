// The terminal frontend of the modes cli and log.
#ifndef TOLVAR_CLI_CLI_FRONTEND_H
#define TOLVAR_CLI_CLI_FRONTEND_H

#include "client/frontend.h"

// The frontend of mode cli: the CLI's five operations.
extern const FrontendOps cli_frontend_ops;
// The frontend of mode log: the same output, no input (standard input is not read).
extern const FrontendOps log_frontend_ops;

// Ends the session: puts the terminal back the way readline found it, closes the server
// connection and exits with status (CLI_FINISH_ABORT: ends abnormally).
constexpr int CLI_FINISH_ABORT = -1;
[[noreturn]] void cli_finish(int status);

#endif
