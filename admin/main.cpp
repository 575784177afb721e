#include <cstdio>

#include "common/i18n.h"

int main(int, char **)
{
	fputs(_("Subcommands:\n  adduser\n  removeuser\n  listuser\n  getmotd\n  setmotd\n"), stderr);
	return 255;
}
