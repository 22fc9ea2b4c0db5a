// SPDX-License-Identifier: BSD-2-Clause
// sections.h - the sections of the bench report, each in a file of its own,
// in the order main() in suite.cc runs them.
//
// A section measures, then appends its heading, its paragraph and its tables
// to the report, and its targets to the Targets table (suite.h). A section
// that needs what another made (section 4 reads the databases that section 3
// loaded) finds it by the names below; the order in main() is part of that.
#ifndef MURVANE_BENCH_SECTIONS_H
#define MURVANE_BENCH_SECTIONS_H

#include <cstdint>
#include <string>

// machine.cc: the machine the figures come from.
void machine_section();
// load_average - the three figures of /proc/loadavg, as text
std::string load_average();

// side_by_side.cc: 1. murvane beside the least program, the storage floor
// and the peer, in alternating rounds.
void side_by_side_section();

// allocations.cc: 2. allocations per request, by the object that asked.
void allocations_section();

// scale.cc: 3. request cost and memory against database size.
void scale_section();
// scale_home - the database of that many triplets that section 3 loaded
std::string scale_home(uint64_t size);

// expiry.cc: 4. the expiry pass and the v0 conversion on the default
// environment: the pass's time and locks, the wait other daemons see
// meanwhile, passes under load, daemons starting together on new regions.
void expiry_section();
// rebuild_regions - recovery, so that the next open makes the regions anew
bool rebuild_regions(const std::string &home);

// contention.cc: 5. daemons contending for the same triplets.
void contention_section();

// observe.cc: 6. what the decision log costs, and murvane --stats over a
// large home: its time and the requests' wait while it walks.
void observe_section();

// server.cc: 7. the resident server (murvane --listen) beside daemons
// spawned one per connection: throughput and CPU per request at several
// connection counts, and the server's memory with many idle connections.
void server_section();

#endif
