#include "client/session.h"

#include <cstdio>

#include "common/i18n.h"

int client_mode(const struct sockaddr_un *, const char *)
{
	fputs(_("Client sessions are not built yet\n"), stderr);
	return 1;
}
