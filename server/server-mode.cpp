#include "server/server.h"

#include <cstdio>

#include "common/i18n.h"

int server_mode(const struct sockaddr_un *)
{
	fputs(_("The chat server is not built yet\n"), stderr);
	return 1;
}
