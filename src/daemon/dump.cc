// dump.cc - the triplet listing.
//
// The cursor belongs to no transaction: each record is read as it stands when
// the cursor reaches it, while other processes go on serving. The library
// hands out each record in its own memory, valid until the next call.
#include "daemon/dump.h"

#include <cstdio>
#include <cstring>

#include "common/stop.h"
#include "greylist/decision.h"
#include "storage/environment.h"
#include "storage/stored_triplet.h"

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
    DBC *dbcp;
    DBT key{}, value{};
    int ret;

    if ((ret = get_db(&database)) != 0) {
        fprintf(stderr, "DBD-%d: failed to open database\n", ret);
        return;
    }
    if ((ret = database->cursor(database, nullptr, &dbcp, 0)) != 0) {
        fprintf(stderr, "DBD-%d: db->cursor failed: %s\n", ret, db_strerror(ret));
        return;
    }
    while (!stop_requested()) {
        ret = dbcp->c_get(dbcp, &key, &value, DB_NEXT);
        if (ret == DB_NOTFOUND)
            break;
        if (ret != 0) {
            fprintf(stderr, "DBD-%d: dbcp->c_get failed: %s\n", ret,
                    db_strerror(ret));
            break;
        }
        print_triplet_line(&key, &value);
    }
    if ((ret = dbcp->c_close(dbcp)) != 0)
        fprintf(stderr, "DBD-%d: dbcp->c_close failed: %s\n", ret, db_strerror(ret));
}
