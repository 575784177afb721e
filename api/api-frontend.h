// The API frontend: API packets on standard input and output for programs.
#ifndef TOLVAR_API_API_FRONTEND_H
#define TOLVAR_API_API_FRONTEND_H

#include "client/frontend.h"

// Fills ops with api_init, api_do_local_packet and api_do_stdin; the optional slots stay empty.
void init_api_frontend_ops(FrontendOps *ops);

#endif
