// Timestamped output of the terminal frontend, and the date line.
#ifndef TOLVAR_CLI_CLI_OUTPUT_H
#define TOLVAR_CLI_CLI_OUTPUT_H

#include <ctime>

// Flags of print_with_time.
constexpr int PRINT_END_LINE = 1;	// end the line
constexpr int PRINT_REDRAW = 2;		// then have readline draw the input line again (with PRINT_END_LINE)

// Prints "[hh:mm:ss] " and the formatted text to standard output. when is seconds since the
// epoch, -1 for now. Outside log mode the half-typed input is hidden first, and a bell (when
// alert is 1) and a carriage return come before the timestamp.
void print_with_time(time_t when, int flags, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The tick operation: prints the date line at the first tick of a new local day.
void cli_do_tick(void);

// Whether headers and escapes are coloured now: color 1, or color 2 with standard output a terminal.
bool cli_colour_wanted(void);

#endif
