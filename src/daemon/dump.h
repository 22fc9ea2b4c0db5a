// SPDX-License-Identifier: BSD-2-Clause
// dump.h - listing the triplet database (--dump-triplets), the proven
// clients (--dump-clients) and the learned reply pairs (--dump-replies).
#ifndef MURVANE_DAEMON_DUMP_H
#define MURVANE_DAEMON_DUMP_H

#include <db.h>

#include <ctime>

// print_triplets - one tab-separated line per record on standard output, in
// key order; failures on standard error. The exit status is not changed.
void print_triplets();

// print_clients - one tab-separated line per record of clients-1.db, in key
// order; nothing when the file does not exist (it is never created here).
void print_clients();

// print_client_line - the line of one stored client: address, first seen,
// last seen, triplets proven, triplets let through at once. Never reads
// beyond the key's or the value's size.
void print_client_line(const DBT *key, const DBT *value);

// print_replies - one tab-separated line per record of replies-1.db, in key
// order; nothing when the file does not exist (it is never created here).
void print_replies();

// print_reply_line - the line of one stored pair: outside address, local
// address, first written, last written, replies let through. Never reads
// beyond the key's or the value's size.
void print_reply_line(const DBT *key, const DBT *value);

// print_ctime - a time as ctime() writes it, without its newline.
void print_ctime(const time_t *time);

// print_triplet_line - the line of one stored record: address, sender,
// recipient, created, last seen, times deferred, times passed. Never reads
// beyond the key's or the value's size, whatever they hold.
void print_triplet_line(const DBT *key, const DBT *value);

#endif
