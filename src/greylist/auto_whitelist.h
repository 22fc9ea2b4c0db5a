// SPDX-License-Identifier: BSD-2-Clause
// auto_whitelist.h - letting proven clients through at once (--auto-whitelist).
//
// A client (the client part of a triplet key: its tag byte and address part)
// is proven once settings.auto_whitelist of its distinct triplets have passed
// greylisting, each counted when it is given the greylisted action. While a
// proven client keeps having mail let through, its new triplets pass at once:
// they are stored as passed and answered DUNNO. A client with no request let
// through for longer than settings.pass_max_idle loses what it had proven and
// starts counting again, by the same idle rule as a passed triplet; its
// last-seen time is kept to within refresh_interval(), so that the later
// passes that make most of a mail server's requests seldom touch it.
//
// Both calls work under the request's transaction, on clients-1.db opened by
// the decision before it. They look at the client's record without keeping a
// lock, and take its page for update (DB_RMW) only to write it, always after
// the triplet's, so that every request locks the two databases in one order. A failed library call's code is handed back
// unlogged, as the triplet's get and put are handled by the decision: the
// caller logs it, or tries the request again after a refusal
// (DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED); the transaction must be aborted.
#ifndef MURVANE_GREYLIST_AUTO_WHITELIST_H
#define MURVANE_GREYLIST_AUTO_WHITELIST_H

#include <db.h>

#include <ctime>

// whitelisted_client - the triplet in dbkey is new or restarted at `now`: is
// its client proven and not idle? When it is, *listed is set and the client
// record is updated (last seen now, one more triplet let through at once).
// Returns 0 or the library's code.
int whitelisted_client(DB_TXN *txn, time_t now, bool *listed);

// client_passed - a request of the triplet in dbkey was let through by
// greylisting at `now`: with first_pass (the greylisted action) one more of
// the client's triplets is proven, creating or restarting its record. Any
// later pass (the triplet's previous one at `previous`) keeps a recorded
// client's last-seen time current to within refresh_interval(): the record
// is read only by a triplet's first pass in each interval, and written at
// most once an interval. Returns 0 or the library's code.
int client_passed(DB_TXN *txn, time_t now, bool first_pass, time_t previous);

// refresh_interval - how stale a client's last-seen time may be: an eighth
// of pass_max_idle, at least a second and at most an hour. A client may so
// lose its whitelisting up to that much before pass_max_idle has passed since
// its latest message.
time_t refresh_interval();

#endif
