#include "api/api-frontend.h"

#include <cstdio>
#include <cstdlib>

// Placeholder until the API frontend lands.
static void api_not_built(const char *)
{
	fputs("The API frontend is not built yet\n", stderr);
	exit(1);
}

static void api_nothing(int) {}

void init_api_frontend_ops(FrontendOps *ops)
{
	*ops = FrontendOps{api_not_built, api_nothing, api_nothing, nullptr, nullptr};
}
