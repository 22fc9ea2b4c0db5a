// SPDX-License-Identifier: BSD-2-Clause
// stored_client.h - the stored layout of clients-1.db, the proven clients.
//
// One record per client that has passed greylisting, kept only while the
// daemons run with auto-whitelisting on. The key is a triplet key's client
// part, copied as it stands: its tag byte and its address part (layout in
// storage/stored_triplet.h), so a client is exactly what its triplets share,
// the prefix-cut address or whatever other client part a tag introduces.
// The record is written in the transaction of the request that changed it,
// beside that request's triplet: a kill leaves both or neither.
#ifndef MURVANE_STORAGE_STORED_CLIENT_H
#define MURVANE_STORAGE_STORED_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "storage/stored_triplet.h"

// The file in the home directory.
constexpr char clients_db_name[] = "clients-1.db";

// Value of every client record: four host-order 8-byte fields.
struct client_data_t {
    time_t first_seen;        // the first pass counted, or the last restart
    time_t last_seen;         // the latest request of the client let through
    uint64_t proven_count;    // distinct triplets that passed greylisting
    uint64_t listed_count;    // new triplets let through at once since then
};
static_assert(sizeof(client_data_t) == 32, "stored client record is 32 bytes");

// client_key_length - bytes of a triplet key of `size` bytes that make its
// client's key (the tag byte and the address part), or 0 for a key too short
// to hold them.
inline size_t client_key_length(const void *key, size_t size)
{
    size_t a = triplet_address_length(key, size);
    return a == 0 ? 0 : 1 + a;
}

#endif
