// SPDX-License-Identifier: BSD-2-Clause
// upgrade.h - conversion of a format v0 database (triplets.db).
//
// Format v0 kept the client address as text at the start of the key:
//
//   address text, NUL, sender, NUL, recipient (the rest of the key)
//
// The conversion rewrites every key into the current layout (see
// storage/stored_triplet.h) without applying the network prefixes, carries each
// value over byte for byte into a temporary database, then renames that to
// triplets-1.db and removes triplets.db in one transaction.
#ifndef MURVANE_STORAGE_UPGRADE_H
#define MURVANE_STORAGE_UPGRADE_H

#include <db.h>

#include <cstddef>

// Scratch buffers of one conversion; they only grow, and are freed at its end.
struct v0_buffers {
    char *address;          // copy of a dotted address text, ".0" pairs appended
    size_t address_cap;
    unsigned char *key;     // the converted key
    size_t key_cap;
};

// convert_v0_key - convert one v0 key of `size` bytes into buffers->key and
// set converted->data and converted->size. Returns 0; EINVAL for a key
// without its two NULs or for a dotted text that is no IPv4 address;
// inet_pton's errno when it refuses the address family; EOVERFLOW for a key
// whose converted size exceeds 32 bits. Never reads beyond `size` bytes.
int convert_v0_key(const void *key, size_t size, v0_buffers *buffers, DBT *converted);

// free_v0_buffers - release both scratch buffers.
void free_v0_buffers(v0_buffers *buffers);

// upgrade_from_v0 - convert triplets.db into triplets-1.db inside env.
// Returns 0 when there was nothing to convert, when another process has
// converted it meanwhile, or when the conversion is committed; otherwise the
// code of the failed step (EWOULDBLOCK while another process converts), with
// triplets.db as it was and no triplets-1.db.
int upgrade_from_v0(DB_ENV *env);

#endif
