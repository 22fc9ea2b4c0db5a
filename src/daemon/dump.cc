// SPDX-License-Identifier: BSD-2-Clause
// dump.cc - the triplet listing.
//
// The cursors belong to no transaction: each record is read as it stands when
// a cursor reaches it, while other processes go on serving. A cursor keeps a
// read lock on the leaf page it stands on, and standard output may block for
// as long as its reader pleases (a paused pager), so nothing is written while
// a cursor is open: the walk reads a bounded batch into its own buffer,
// closes the cursor, prints the batch, and resumes after the batch's last key
// with a new cursor. Records written by others between two batches may or
// may not be listed.
#include "daemon/dump.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/stop.h"
#include "common/xrealloc.h"
#include "greylist/decision.h"
#include "storage/environment.h"
#include "storage/resume_point.h"
#include "storage/stored_client.h"
#include "storage/stored_reply.h"
#include "storage/stored_triplet.h"

namespace {

// Bounds of one batch: the memory it takes, and the time a cursor stays
// open. A record larger than the byte bound makes a batch of its own.
constexpr unsigned batch_records = 1000;
constexpr size_t batch_bytes = 64 * 1024;

// The records of one batch, copied out of the library's memory. Each is
// stored as its key's size, its value's size (u_int32_t each, unaligned),
// then the key's bytes and the value's bytes.
struct batch_buffer {
    unsigned char *data;  // grows to the largest batch, freed at the walk's end
    size_t capacity;
    size_t used;
};

enum batch_end {
    batch_full,    // more records may follow
    walk_done,     // end of the database, or a failure (reported)
    walk_stopped,  // a stop request came while the batch was read
};

// append - copy bytes to the end of the batch, growing it when needed.
void append(batch_buffer *batch, const void *bytes, size_t size)
{
    if (batch->capacity - batch->used < size) {
        size_t capacity = batch->capacity ? batch->capacity : 4096;
        while (capacity - batch->used < size)
            capacity *= 2;
        batch->data = static_cast<unsigned char *>(xrealloc(batch->data, capacity));
        batch->capacity = capacity;
    }
    if (size)
        memcpy(batch->data + batch->used, bytes, size);
    batch->used += size;
}

void append_record(batch_buffer *batch, const DBT &key, const DBT &value)
{
    append(batch, &key.size, sizeof key.size);
    append(batch, &value.size, sizeof value.size);
    append(batch, key.data, key.size);
    append(batch, value.data, value.size);
}

// read_batch - copy the next batch of records into *batch under a cursor of
// its own, closed before returning.
batch_end read_batch(DB *database, resume_point *resume, batch_buffer *batch)
{
    DBC *dbcp;
    int ret;

    batch->used = 0;
    if ((ret = database->cursor(database, nullptr, &dbcp, 0)) != 0) {
        fprintf(stderr, "DBD-%d: db->cursor failed: %s\n", ret, db_strerror(ret));
        return walk_done;
    }
    batch_end end = batch_full;
    for (unsigned records = 0; records < batch_records && batch->used < batch_bytes;
         records++) {
        if (stop_requested()) {
            end = walk_stopped;
            break;
        }
        DBT key{}, value{};
        ret = next_record(dbcp, &key, &value, 0, records == 0, *resume);
        if (ret == DB_NOTFOUND) {
            end = walk_done;
            break;
        }
        if (ret != 0) {
            fprintf(stderr, "DBD-%d: dbcp->c_get failed: %s\n", ret, db_strerror(ret));
            end = walk_done;
            break;
        }
        remember(resume, key);
        append_record(batch, key, value);
    }
    if ((ret = dbcp->c_close(dbcp)) != 0) {
        fprintf(stderr, "DBD-%d: dbcp->c_close failed: %s\n", ret, db_strerror(ret));
        if (end == batch_full)
            end = walk_done;
    }
    return end;
}

// The line printer of the database being listed.
using line_printer = void (*)(const DBT *key, const DBT *value);

// print_batch - the lines of the batch's records. A stop request that came
// while they were read has already cut the batch after the record then
// read; one that comes while they are printed ends the listing after the
// current line. Returns false when a stop request ended the listing.
bool print_batch(const batch_buffer &batch, bool stopped, line_printer print_line)
{
    size_t at = 0;
    while (at < batch.used) {
        DBT key{}, value{};
        memcpy(&key.size, batch.data + at, sizeof key.size);
        memcpy(&value.size, batch.data + at + sizeof key.size, sizeof value.size);
        at += sizeof key.size + sizeof value.size;
        key.data = batch.data + at;
        value.data = batch.data + at + key.size;
        at += key.size + value.size;
        print_line(&key, &value);
        if (!stopped && stop_requested())
            return false;
    }
    return !stopped;
}

// print_database - every record of an open database, batch by batch.
void print_database(DB *database, line_printer print_line)
{
    resume_point resume{};
    batch_buffer batch{};
    batch_end end;
    do {
        end = read_batch(database, &resume, &batch);
    } while (print_batch(batch, end == walk_stopped, print_line) && end == batch_full);
    free(batch.data);
    free(resume.data);
}

}  // namespace

void print_ctime(const time_t *time)
{
    const char *text = ctime(time);
    if (text == nullptr) {
        // Out of ctime's range (a damaged record): the plain count of seconds.
        printf("%lld", static_cast<long long>(*time));
        return;
    }
    const char *newline = strchr(text, '\n');
    fwrite(text, 1, newline ? static_cast<size_t>(newline - text) : strlen(text),
           stdout);
}

void print_triplet_line(const DBT *key, const DBT *value)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(key->data);
    size_t size = key->size;
    size_t a = triplet_address_length(bytes, size);

    if (a == 0) {
        // Not even an address: nothing of the key can be trusted.
        fputs("-\t\t\t", stdout);
    } else {
        printf("%s\t", triplet_ip_text(bytes));
        const unsigned char *sender = bytes + 1 + a;
        const unsigned char *end = bytes + size;
        const unsigned char *nul =
            static_cast<const unsigned char *>(memchr(sender, '\0', end - sender));
        const unsigned char *sender_end = nul ? nul : end;
        fwrite(sender, 1, sender_end - sender, stdout);
        putchar('\t');
        if (nul)
            fwrite(nul + 1, 1, end - nul - 1, stdout);
        putchar('\t');
    }

    if (value->size != sizeof(triplet_data_t)) {
        fputs("-\t-\t-\t-\n", stdout);
        return;
    }
    triplet_data_t record;
    memcpy(&record, value->data, sizeof record);  // library memory: no alignment
    print_ctime(&record.create_time);
    putchar('\t');
    print_ctime(&record.access_time);
    printf("\t%lu\t%lu\n", static_cast<unsigned long>(record.block_count),
           static_cast<unsigned long>(record.pass_count));
}

void print_triplets()
{
    DB *database;
    int ret;

    if ((ret = get_db(&database)) != 0) {
        fprintf(stderr, "DBD-%d: failed to open database\n", ret);
        return;
    }
    print_database(database, print_triplet_line);
}

void print_client_line(const DBT *key, const DBT *value)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(key->data);
    size_t a = triplet_address_length(bytes, key->size);
    // A client key is exactly its tag byte and address part.
    if (a == 0 || 1 + a != key->size)
        fputs("-\t", stdout);
    else
        printf("%s\t", triplet_ip_text(bytes));
    if (value->size != sizeof(client_data_t)) {
        fputs("-\t-\t-\t-\n", stdout);
        return;
    }
    client_data_t record;
    memcpy(&record, value->data, sizeof record);  // library memory: no alignment
    print_ctime(&record.first_seen);
    putchar('\t');
    print_ctime(&record.last_seen);
    printf("\t%lu\t%lu\n", static_cast<unsigned long>(record.proven_count),
           static_cast<unsigned long>(record.listed_count));
}

namespace {

// print_side_db - every record of `name`, a database beside the triplets
// that only an option creates: a missing file lists nothing rather than
// being created. The listing opens the triplets too, so that its stop's
// expiry pass runs as after any listing.
void print_side_db(const char *name, void (*print_line)(const DBT *, const DBT *))
{
    DB *database;
    int ret;

    if ((ret = get_db(&database)) != 0) {
        fprintf(stderr, "DBD-%d: failed to open database\n", ret);
        return;
    }
    DB_ENV *env;
    if ((ret = get_dbenv(&env)) != 0 || (ret = db_create(&database, env, 0)) != 0) {
        fprintf(stderr, "DBD-%d: failed to open %s\n", ret, name);
        return;
    }
    ret = database->open(database, nullptr, name, nullptr, DB_BTREE,
                         DB_AUTO_COMMIT | DB_RDONLY, 0);
    if (ret == 0)
        print_database(database, print_line);
    else if (ret != ENOENT)
        fprintf(stderr, "DBD-%d: failed to open %s: %s\n", ret, name, db_strerror(ret));
    database->close(database, 0);
}

}  // namespace

void print_clients()
{
    print_side_db(clients_db_name, print_client_line);
}

void print_reply_line(const DBT *key, const DBT *value)
{
    const char *bytes = static_cast<const char *>(key->data);
    const char *nul = key->size == 0
        ? nullptr : static_cast<const char *>(memchr(bytes, '\0', key->size));
    // A pair key is two non-empty addresses joined by a single NUL.
    if (nul == nullptr || nul == bytes || nul + 1 == bytes + key->size ||
        memchr(nul + 1, '\0', bytes + key->size - nul - 1) != nullptr) {
        fputs("-\t-\t", stdout);
    } else {
        fwrite(bytes, 1, static_cast<size_t>(nul - bytes), stdout);
        putchar('\t');
        fwrite(nul + 1, 1, static_cast<size_t>(bytes + key->size - nul - 1), stdout);
        putchar('\t');
    }
    if (value->size != sizeof(reply_data_t)) {
        fputs("-\t-\t-\n", stdout);
        return;
    }
    reply_data_t record;
    memcpy(&record, value->data, sizeof record);  // library memory: no alignment
    print_ctime(&record.first_written);
    putchar('\t');
    print_ctime(&record.last_written);
    printf("\t%lu\n", static_cast<unsigned long>(record.reply_count));
}

void print_replies()
{
    print_side_db(replies_db_name, print_reply_line);
}
