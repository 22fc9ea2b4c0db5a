// SPDX-License-Identifier: BSD-2-Clause
// sweep_totals.h - what the expiry sweep has deleted, kept in the home.
//
// The totals are one record of expiry-sweep.db, beside the sweep's
// positions (storage/sweep_position.h), and only the daemon that sweeps
// writes it: each batch adds its deletions in the batch's own transaction,
// so the totals and the records they count are removed together or not at
// all. A batch rolled back, or a daemon killed in the middle of one, takes
// its counts back with its deletions, and no record is ever counted twice.
// The totals only grow, across restarts of every daemon; a record of
// another shape (damaged) is replaced by totals counted again from zero,
// with a warning.
#ifndef MURVANE_STORAGE_SWEEP_TOTALS_H
#define MURVANE_STORAGE_SWEEP_TOTALS_H

#include <db.h>

#include <cstdint>

// The key of the totals record in expiry-sweep.db.
constexpr char totals_record[] = "totals";

// Stored value of the totals record: host-order fields, nothing else.
struct sweep_totals {
    char magic[4];              // "MSWT"
    uint32_t version;           // 1
    uint64_t expired_blocked;   // triplets deleted that never passed
    uint64_t expired_passed;    // triplets deleted after passing
    uint64_t expired_clients;   // clients deleted (auto-whitelisting)
    int64_t last_finished;      // when a sweep last reached the last triplet; 0: never
    uint64_t sweeps_finished;   // sweeps over the triplets that reached the end
};
static_assert(sizeof(sweep_totals) == 48, "stored totals record is 48 bytes");

// What one batch adds.
struct totals_change {
    uint64_t blocked;
    uint64_t passed;
    uint64_t clients;
    int64_t finished_at;  // the pass's time when the batch finished a sweep; else 0
};

// add_to_totals - add a batch's counts under its transaction (the record is
// read for update). Returns 0 or the library's code (logged).
int add_to_totals(DB *sweep, DB_TXN *txn, const totals_change &change);

// read_totals - the totals as they stand (zero when none or damaged), read
// outside any transaction. Returns 0 or the library's code (logged).
int read_totals(DB *sweep, sweep_totals *totals);

#endif
