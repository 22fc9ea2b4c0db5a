// SPDX-License-Identifier: BSD-2-Clause
// stats.h - the state of the home for monitoring (--stats).
//
// print_stats() walks the databases of the home and prints what it counted
// in the Prometheus text exposition format, every metric with its HELP and
// TYPE lines, for node_exporter's textfile collector. The walks read in
// bounded batches under short-lived cursors that belong to no transaction,
// as the listing does, so a request waits at most for one batch; records
// written while the walk runs may or may not be counted. No record is
// written: the process makes no expiry pass. Nothing is printed until
// every walk has ended, so a failed run leaves no half report on standard
// output; the failure is reported on standard error.
#ifndef MURVANE_DAEMON_STATS_H
#define MURVANE_DAEMON_STATS_H

// print_stats - the report on standard output. Returns 0, or 1 after a
// failure (reported on standard error, nothing printed).
int print_stats();

#endif
