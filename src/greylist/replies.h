// SPDX-License-Identifier: BSD-2-Clause
// replies.h - replies to the site's own users never wait (--replies).
//
// An authenticated user's own mail (a request with a non-empty sasl_username)
// is never greylisted in this mode: it is answered DUNNO, and the pair of
// addresses it joins is learned in replies-1.db (storage/stored_reply.h):
// the outside address (its recipient) and the local address (its sender).
// Mail that comes back the other way round, from that outside address to
// that local address, is a reply: its new triplet is let through at once,
// stored as passed, as auto-whitelisting lets a proven client's through.
//
// Nothing is learned from the null sender, from mail to the sender's own
// domain, or from an address without a domain or holding a NUL byte. A pair
// lives while its user keeps writing: a reply counts only within
// settings.pass_max_idle of the user's latest message, which a pair keeps to
// within refresh_interval() (an hour at most), so that a busy user's mail
// seldom rewrites it. With --spf a reply whose SPF result is fail is
// greylisted as any other triplet, and the null sender is never a reply.
//
// The learning runs its own transaction, tried again after a refused call
// as the decision's is (greylist/tries.h); a failure before its answer
// answers "action=WARN <text>" as the decision's failure path does. The
// reply check works under the decision's transaction and hands a failed
// library call's code back unlogged, for the decision to log or to try the
// request again.
#ifndef MURVANE_GREYLIST_REPLIES_H
#define MURVANE_GREYLIST_REPLIES_H

#include <db.h>

#include <ctime>

#include "greylist/spf.h"

// answer_user_mail - with --replies, the request of sender and recipient
// (attribute values ended by their newline) is an authenticated user's when
// its sasl_username is not empty: learn its pair, write its answer line and
// return true, with *result what the request's screening returns (0, or
// non-zero when the daemon must stop). The decision log calls it
// "authenticated". Returns false for any other request,
// which is greylisted as before.
bool answer_user_mail(const char *sender, const char *recipient, int *result);

// reply_to_user - the current inbound request's triplet is not yet passed
// at `now`: is it a reply to a learned pair, not idle and, with --spf, not
// failing SPF (`spf`)? When it is, *reply is set and the pair counts one
// more reply. Works under the decision's transaction; returns 0 or the
// library's code, with *call naming the call that failed.
int reply_to_user(DB_TXN *txn, time_t now, spf_result spf, bool *reply, const char **call);

#endif
