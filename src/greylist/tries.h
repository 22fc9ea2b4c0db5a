// SPDX-License-Identifier: BSD-2-Clause
// tries.h - trying a request's transaction again after the library refused it.
//
// The deadlock detector may refuse any get or put of a request (a page split
// can deadlock even with the record read for update); the refused call did
// nothing, and the transaction must be aborted. A refused try is undone and
// the request run again from txn_begin, after a short random pause, at most
// max_tries times in all. The decision and the learning of reply pairs share
// these rules.
#ifndef MURVANE_GREYLIST_TRIES_H
#define MURVANE_GREYLIST_TRIES_H

#include <db.h>

// Tries of one request: the first, and two more after refusals. A refusal is
// rare (behind a busy mail server, a few per 4,000 new triplets) and a second
// one in a row rarer still; a third means the pages stay contended, and the
// mail server's own retry through a new daemon is the better answer.
constexpr int max_tries = 3;

// refused - the library refused a call to end a deadlock (or a lock wait past
// a limit): the call did nothing, and the transaction must be aborted.
bool refused(int code);

// pause_before_try - a few milliseconds before try `next`: random, so that
// the daemons of one deadlock do not meet again at once, and longer for each
// later try (1 to 4 ms before the second, 2 to 8 ms before the third). A stop
// signal ends the pause (nanosleep is never restarted after a handler); the
// try still runs, and the loop stops once the request is answered.
void pause_before_try(int next);

// give_way - undo a refused try and pause before try `next`. The handle is
// cleared before its abort frees it: should the next txn_begin fail, the
// failure path must find no transaction rather than this freed one.
void give_way(DB_TXN *volatile *txn, const char *call, int code, int next);

#endif
