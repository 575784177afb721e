#include "tolvard/entry.h"

int main(int argc, char **argv)
{
	return tolvard_main(argc, argv);
}
