// SPDX-License-Identifier: BSD-2-Clause
// sweep_position.h - where the shared expiry sweep stands, kept in the home.
//
// Every daemon's stop continues one sweep over triplets-1.db from where the
// previous stop left it. The key the sweep last walked is kept as the one
// record of expiry-sweep.db, a database of the same environment, and every
// change to it is written in the transaction of the batch that walked to
// that key: a batch rolled back, or a daemon killed in the middle of one,
// takes the position back with the batch's deletions, and recovery keeps the
// two in step after a crash. No record means the next stop starts at the
// first key. While a daemon sweeps it holds flock() on expiry-sweep.lock, so
// that daemons stopping together do not walk the same slice.
#ifndef MURVANE_STORAGE_SWEEP_POSITION_H
#define MURVANE_STORAGE_SWEEP_POSITION_H

#include <db.h>

#include <cstdint>

#include "storage/resume_point.h"

// The files in the home directory: the position and the sweeper's lock
// (an empty file, created when missing).
constexpr char sweep_db_name[] = "expiry-sweep.db";
constexpr char sweep_lock_name[] = "expiry-sweep.lock";

// The keys of the position records: one for the walk over triplets-1.db, one
// for the walk over clients-1.db (auto-whitelisting), one for the walk over
// replies-1.db (--replies), each walk going on from its own.
constexpr char triplets_position[] = "position";
constexpr char clients_position[] = "clients";
constexpr char replies_position[] = "replies";

// Stored value of a position record: this header in host
// order, then the key_size bytes of the last key walked. A value that does
// not have this shape is damaged, and the sweep starts again at the first key.
struct sweep_header {
    char magic[4];       // "MSWP"
    uint32_t version;    // 1
    uint32_t key_size;   // bytes of the key that follow
};
static_assert(sizeof(sweep_header) == 12);

// What lock_sweep() found.
enum sweep_lock_result {
    sweep_lock_held,      // this daemon sweeps; close the descriptor after
    sweep_lock_busy,      // another daemon is sweeping right now
    sweep_lock_missing,   // the file could not be opened or locked (logged)
};

// lock_sweep - try, without waiting, to become the one daemon that sweeps.
// On sweep_lock_held, *fd holds the descriptor whose close releases it.
sweep_lock_result lock_sweep(int *fd);

// open_sweep_db - expiry-sweep.db, created when missing. Returns 0 or the
// library's code (logged), with null stored.
int open_sweep_db(DB_ENV *env, DB **handle);

// What load_position() found.
enum position_state {
    position_none,      // no record: the sweep starts at the first key
    position_found,     // *resume holds the last key walked
    position_damaged,   // the record was garbage; it was deleted in txn
};

// load_position - read the position `name` under txn into *resume (zeroed before,
// freed by the caller). Returns 0 or the library's code (logged).
int load_position(DB *sweep, DB_TXN *txn, resume_point *resume, position_state *state,
                  const char *name = triplets_position);

// peek_position - read the position `name` outside any transaction, changing
// nothing: *found tells whether *resume (zeroed before, freed by the caller)
// holds a well-formed one. Returns 0 or the library's code (logged).
int peek_position(DB *sweep, resume_point *resume, bool *found,
                  const char *name = triplets_position);

// store_position - write resume's key as the position under txn.
int store_position(DB *sweep, DB_TXN *txn, const resume_point &resume,
                   const char *name = triplets_position);

// clear_position - the sweep is finished: delete the record under txn, so
// that the next stop starts at the first key.
int clear_position(DB *sweep, DB_TXN *txn, const char *name = triplets_position);

#endif
