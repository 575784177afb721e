// The terminal frontend of the modes cli and log.
#ifndef TOLVAR_CLI_CLI_FRONTEND_H
#define TOLVAR_CLI_CLI_FRONTEND_H

#include "client/frontend.h"

// Fills ops with the CLI's five operations; log_only is 1 for mode log, 0 for mode cli.
void init_cli_frontend_ops(FrontendOps *ops, int log_only);

#endif
