// SPDX-License-Identifier: BSD-2-Clause
// stored_reply.h - the stored layout of replies-1.db, the learned reply pairs.
//
// One record per pair of addresses that an authenticated user of the site
// wrote to, kept only while the daemons run with --replies: the outside
// address (the recipient of the user's mail) and the local address (its
// sender). Mail from that outside address to that local address is a reply.
// The addresses are stored as the request gave them, byte for byte, as the
// triplet key stores its sender and recipient, so a reply matches a pair
// exactly when its triplet's sender and recipient are the pair's the other
// way round. A record is written in the transaction of the request that
// changed it: a kill leaves the whole change or none of it.
//
// Layout of a key, O and L being the lengths of the addresses:
//
//   offset 0      O   the outside address, no NUL inside, never empty
//   offset O      1   a NUL byte
//   offset O + 1  L   the local address, no NUL inside, no terminator
//
// The key's length is carried by its DBT. Keys compare as byte strings, so a
// listing is in the order of the outside addresses.
#ifndef MURVANE_STORAGE_STORED_REPLY_H
#define MURVANE_STORAGE_STORED_REPLY_H

#include <cstdint>
#include <ctime>

// The file in the home directory.
constexpr char replies_db_name[] = "replies-1.db";

// Value of every pair record: three host-order 8-byte fields.
struct reply_data_t {
    time_t first_written;   // the user's first message to the outside address,
                            // or the one that restarted an idle pair
    time_t last_written;    // the latest one recorded (kept to within an hour)
    uint64_t reply_count;   // replies let through at once since first_written
};
static_assert(sizeof(reply_data_t) == 24, "stored reply record is 24 bytes");

#endif
