// SPDX-License-Identifier: BSD-2-Clause
// expiry.h - the expiry pass at the stop.
#ifndef MURVANE_GREYLIST_EXPIRY_H
#define MURVANE_GREYLIST_EXPIRY_H

// run_expiry - delete every record that is idle too long. The pass walks the
// database in key order in bounded batches, each its own low-priority
// transaction that never waits for a lock: when another process holds one a
// batch needs, that batch is rolled back and the pass ends there, keeping the
// batches committed before it. "Expired N triplets" reports the deletions
// committed. The caller has checked that no stop signal came, db is open and
// expiry_enabled is set.
void run_expiry();

#endif
