#include "cli/cli-frontend.h"

#include <cstdio>
#include <cstdlib>

// Placeholder until the terminal frontend lands.
static void cli_not_built(const char *)
{
	fputs("The terminal frontend is not built yet\n", stderr);
	exit(1);
}

static void cli_nothing(int) {}

void init_cli_frontend_ops(FrontendOps *ops, int)
{
	*ops = FrontendOps{cli_not_built, cli_nothing, cli_nothing, nullptr, nullptr};
}
