// SPDX-License-Identifier: BSD-2-Clause
// command_line.h - reading the settings from the command line.
//
// A bad option value is fatal (syslog only, then abort); unknown options are
// collected on standard error and end the process with status 1 once the whole
// command line has been read.
#ifndef MURVANE_DAEMON_COMMAND_LINE_H
#define MURVANE_DAEMON_COMMAND_LINE_H

#include <cstdio>

#include "common/settings.h"

// parse_command_line - fill the settings from argv[1..]; ends the process on
// an unknown option (status 1), --help (status 0) or a bad value (abort).
void parse_command_line(int argc, char **argv);

// option_is - non-zero when argument is exactly the short or the long form.
int option_is(const char *argument, const char *short_form, const char *long_form);

// print_usage - the usage text, with the current action templates.
void print_usage(FILE *stream, const char *program_name);

#endif
