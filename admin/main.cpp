#include "admin/admin.h"

int main(int argc, char **argv)
{
	int status = tolvaradm_main(argc, argv);
	return status < 0 ? 255 : status;
}
