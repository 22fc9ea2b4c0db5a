// SPDX-License-Identifier: BSD-2-Clause
// expiry.h - the expiry pass at the stop.
#ifndef MURVANE_GREYLIST_EXPIRY_H
#define MURVANE_GREYLIST_EXPIRY_H

#include <db.h>

// Records one stop's pass walks at most. A stop that walks this many costs
// 80 to 120 ms of CPU, however large the database (measured on a 2-core
// machine, quiet and busy, docs/performance.md); a database this size or
// smaller is walked whole by every pass.
constexpr unsigned long expiry_slice = 100000;

// run_expiry - delete the records idle too long in the next slice of the
// sweep that the daemons of the environment share. The pass walks in key
// order from where the previous pass ended, in bounded batches, each its own
// low-priority transaction that never waits for a lock: when another
// process holds one a batch needs, that batch is rolled back and the pass
// ends there, keeping the batches committed before it, and the next pass
// goes on from there. No pass runs while another daemon's pass does.
// "Expired N triplets" reports the deletions committed. The caller has
// checked that no stop signal came, db is open and expiry_enabled is set.
void run_expiry();

// run_sweep - run_expiry() with a slice of `slice` records (0: no bound).
void run_sweep(unsigned long slice);

// The databases a pass walks; a null one is the process's own handle
// (storage/environment.h), opened when needed. The resident server's
// sweeping thread gives handles of its own, opened without DB_THREAD: the
// walk reads keys into the library's memory, which a free-threaded handle
// does not allow.
struct sweep_handles {
    DB *triplets = nullptr;
    DB *clients = nullptr;
    DB *replies = nullptr;
};

// run_sweep_over - run_sweep() over the given handles.
void run_sweep_over(unsigned long slice, const sweep_handles &handles);

#endif
