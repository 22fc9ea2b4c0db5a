// SPDX-License-Identifier: BSD-2-Clause
// stats.cc - counting the home's records and printing them as metrics.
//
// Each database is counted by walk_database() with a counter of its own;
// each metric family is printed from the finished counts by a function of
// its own, in the order of the family table at the end. A database the
// daemons have not created (clients-1.db without auto-whitelisting,
// replies-1.db without --replies) is never created here: its families are
// left out.
#include "daemon/stats.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/stop.h"
#include "storage/environment.h"
#include "storage/resume_point.h"
#include "storage/stored_client.h"
#include "storage/stored_reply.h"
#include "storage/stored_triplet.h"
#include "storage/sweep_position.h"
#include "storage/sweep_totals.h"

namespace {

// Bounds of one batch: the records it reads, and the time its cursor stays
// open, so that a request needing a page the cursor holds waits briefly.
constexpr unsigned batch_records = 1000;
constexpr long batch_us = 2000;

// What the walks counted.
struct home_counts {
    time_t now;
    uint64_t waiting;            // triplets that never passed
    uint64_t passed;             // triplets that passed
    uint64_t domain_keyed;       // triplets keyed on an SPF domain
    uint64_t triplet_keys;       // keys walked, damaged records included
    uint64_t swept_keys;         // keys at or before the sweep's position
    resume_point position;       // the sweep's position, when set
    bool clients_present;        // clients-1.db exists
    uint64_t clients_listed;     // clients whitelisted now
    uint64_t clients_counting;   // every other client record
    bool replies_present;        // replies-1.db exists
    uint64_t replies_current;    // reply pairs written to within pass_max_idle
    uint64_t replies_idle;       // every other pair, left for the sweep
    uint64_t replies_let_through;  // replies let through, summed over the pairs kept
    bool sweep_present;          // expiry-sweep.db exists
    sweep_totals totals;
    std::vector<std::pair<std::string, uint64_t>> files;  // *.db and their sizes
};

// A counter called for every record a walk reads.
using record_counter = void (*)(const DBT &key, const DBT &value, home_counts *counts);

long elapsed_us(const timespec &since)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - since.tv_sec) * 1000000 + (t.tv_nsec - since.tv_nsec) / 1000;
}

// walk_database - every record of `database`, in key order, handed to
// `count`, a batch per cursor. Returns 0, or the library's code (reported).
int walk_database(DB *database, const char *file, record_counter count, home_counts *counts)
{
    resume_point resume{};
    int ret = 0;
    for (bool done = false; !done;) {
        if (stop_requested()) {
            fprintf(stderr, "murvane: --stats stopped by a signal\n");
            ret = EINTR;
            break;
        }
        DBC *dbcp;
        if ((ret = database->cursor(database, nullptr, &dbcp, 0)) != 0) {
            fprintf(stderr, "DBD-%d: %s: db->cursor failed: %s\n", ret, file, db_strerror(ret));
            break;
        }
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (unsigned records = 0;; records++) {
            DBT key{}, value{};
            ret = next_record(dbcp, &key, &value, 0, records == 0, resume);
            if (ret == DB_NOTFOUND) {
                ret = 0;
                done = true;
                break;
            }
            if (ret != 0) {
                fprintf(stderr, "DBD-%d: %s: dbcp->c_get failed: %s\n", ret, file,
                        db_strerror(ret));
                done = true;
                break;
            }
            count(key, value, counts);
            if (records + 1 >= batch_records ||
                (records % 64 == 63 && elapsed_us(start) >= batch_us)) {
                remember(&resume, key);
                break;
            }
        }
        int closed = dbcp->c_close(dbcp);
        if (closed != 0) {
            fprintf(stderr, "DBD-%d: %s: dbcp->c_close failed: %s\n", closed, file,
                    db_strerror(closed));
            if (ret == 0)
                ret = closed;
            break;
        }
    }
    free(resume.data);
    return ret;
}

// key_compare - the order of the database's keys: bytes, then length.
int key_compare(const DBT &key, const resume_point &point)
{
    size_t n = key.size < point.size ? key.size : point.size;
    int c = n ? memcmp(key.data, point.data, n) : 0;
    if (c != 0)
        return c;
    return key.size < point.size ? -1 : key.size > point.size ? 1 : 0;
}

void count_triplet(const DBT &key, const DBT &value, home_counts *counts)
{
    counts->triplet_keys++;
    if (counts->position.set && key_compare(key, counts->position) <= 0)
        counts->swept_keys++;
    if (key.size > 0 && static_cast<const unsigned char *>(key.data)[0] == tag_domain)
        counts->domain_keyed++;
    if (value.size != sizeof(triplet_data_t))
        return;  // damaged: of no state
    triplet_data_t record;
    memcpy(&record, value.data, sizeof record);  // library memory: no alignment
    if (record.pass_count == 0)
        counts->waiting++;
    else
        counts->passed++;
}

// count_client - whitelisted as the decision judges it: proven by at least
// --auto-whitelist triplets (as given to --stats) and not idle.
void count_client(const DBT &, const DBT &value, home_counts *counts)
{
    if (value.size != sizeof(client_data_t))
        return;
    client_data_t record;
    memcpy(&record, value.data, sizeof record);
    bool current = difftime(counts->now, record.last_seen) <=
                   static_cast<double>(settings.pass_max_idle);
    if (settings.auto_whitelist != 0 && current &&
        record.proven_count >= settings.auto_whitelist)
        counts->clients_listed++;
    else
        counts->clients_counting++;
}

// count_reply - a pair is current while its user wrote to the outside
// address within --pass-max-idle (as given to --stats), as the decision
// judges a reply.
void count_reply(const DBT &, const DBT &value, home_counts *counts)
{
    if (value.size != sizeof(reply_data_t))
        return;
    reply_data_t record;
    memcpy(&record, value.data, sizeof record);
    if (difftime(counts->now, record.last_written) <= static_cast<double>(settings.pass_max_idle))
        counts->replies_current++;
    else
        counts->replies_idle++;
    counts->replies_let_through += record.reply_count;
}

// open_existing - `file` of the environment, read only; ENOENT when the
// daemons never created it (nothing reported then).
int open_existing(DB_ENV *env, const char *file, DB **handle)
{
    DB *database;
    int ret;
    *handle = nullptr;
    if ((ret = db_create(&database, env, 0)) != 0) {
        fprintf(stderr, "DBD-%d: %s: db_create failed: %s\n", ret, file, db_strerror(ret));
        return ret;
    }
    ret = database->open(database, nullptr, file, nullptr, DB_BTREE,
                         DB_AUTO_COMMIT | DB_RDONLY, 0);
    if (ret != 0) {
        if (ret != ENOENT)
            fprintf(stderr, "DBD-%d: failed to open %s: %s\n", ret, file, db_strerror(ret));
        database->close(database, 0);
        return ret;
    }
    *handle = database;
    return 0;
}

// walk_if_present - walk `file` with `count` when the daemons created it;
// *present says whether they did.
int walk_if_present(DB_ENV *env, const char *file, record_counter count, bool *present,
                    home_counts *counts)
{
    DB *database;
    int ret = open_existing(env, file, &database);
    if (ret == ENOENT)
        return 0;
    if (ret != 0)
        return ret;
    *present = true;
    ret = walk_database(database, file, count, counts);
    database->close(database, 0);
    return ret;
}

// read_sweep - the sweep's position and totals, when expiry-sweep.db exists.
int read_sweep(DB_ENV *env, home_counts *counts)
{
    DB *sweep;
    int ret = open_existing(env, sweep_db_name, &sweep);
    if (ret == ENOENT)
        return 0;
    if (ret != 0)
        return ret;
    counts->sweep_present = true;
    bool found = false;
    if ((ret = peek_position(sweep, &counts->position, &found)) == 0)
        ret = read_totals(sweep, &counts->totals);
    counts->position.set = found;
    sweep->close(sweep, 0);
    return ret;
}

// list_files - the size of every database file of the home (names ending
// in ".db"; the library's own region files and logs are not databases).
int list_files(home_counts *counts)
{
    const char *home = settings.db_home ? settings.db_home : ".";
    DIR *dir = opendir(home);
    if (dir == nullptr) {
        fprintf(stderr, "murvane: cannot read %s: %s\n", home, strerror(errno));
        return errno;
    }
    while (const dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() < 4 || name.compare(name.size() - 3, 3, ".db") != 0 ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789._-") != std::string::npos)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        counts->files.emplace_back(name, static_cast<uint64_t>(st.st_size));
    }
    closedir(dir);
    std::sort(counts->files.begin(), counts->files.end());
    return 0;
}

// --- the families, printed in the order of the table below ---------------

void family(const char *name, const char *type, const char *help)
{
    printf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void sample(const char *name, const char *labels, uint64_t value)
{
    printf("%s%s %" PRIu64 "\n", name, labels, value);
}

void print_triplets(const home_counts &c)
{
    family("murvane_triplets", "gauge",
           "Triplets stored, by state: waiting for their first pass, or passed.");
    sample("murvane_triplets", "{state=\"waiting\"}", c.waiting);
    sample("murvane_triplets", "{state=\"passed\"}", c.passed);
    family("murvane_domain_triplets", "gauge",
           "Triplets keyed on the domain whose SPF record authorised the client.");
    sample("murvane_domain_triplets", "", c.domain_keyed);
}

void print_clients(const home_counts &c)
{
    if (!c.clients_present)
        return;
    family("murvane_clients", "gauge",
           "Clients recorded by auto-whitelisting, by state: whitelisted now, or counting.");
    sample("murvane_clients", "{state=\"whitelisted\"}", c.clients_listed);
    sample("murvane_clients", "{state=\"counting\"}", c.clients_counting);
}

void print_replies(const home_counts &c)
{
    if (!c.replies_present)
        return;
    family("murvane_reply_pairs", "gauge",
           "Address pairs learned from authenticated users' mail, by state: current "
           "(replies pass at once), or idle past the pass idle limit.");
    sample("murvane_reply_pairs", "{state=\"current\"}", c.replies_current);
    sample("murvane_reply_pairs", "{state=\"idle\"}", c.replies_idle);
    family("murvane_reply_pair_replies", "gauge",
           "Replies let through at once, summed over the pairs kept now.");
    sample("murvane_reply_pair_replies", "", c.replies_let_through);
}

void print_files(const home_counts &c)
{
    family("murvane_database_file_bytes", "gauge", "Size of each database file of the home.");
    for (const auto &[name, size] : c.files)
        printf("murvane_database_file_bytes{file=\"%s\"} %" PRIu64 "\n", name.c_str(), size);
}

void print_sweep(const home_counts &c)
{
    family("murvane_sweep_progress_ratio", "gauge",
           "Share of the triplets' keys the current expiry sweep has walked.");
    double ratio = c.triplet_keys == 0 ? 0 : static_cast<double>(c.swept_keys) /
                                                 static_cast<double>(c.triplet_keys);
    printf("murvane_sweep_progress_ratio %.6f\n", ratio);
    family("murvane_sweep_last_finished_timestamp_seconds", "gauge",
           "When an expiry sweep last reached the last triplet, in seconds since the epoch; 0: never.");
    printf("murvane_sweep_last_finished_timestamp_seconds %" PRId64 "\n",
           c.totals.last_finished);
    family("murvane_sweeps_finished_total", "counter",
           "Expiry sweeps that reached the last triplet.");
    sample("murvane_sweeps_finished_total", "", c.totals.sweeps_finished);
    family("murvane_expired_triplets_total", "counter",
           "Triplets the expiry sweep deleted, by state: never passed (attempts never "
           "retried), or passed.");
    sample("murvane_expired_triplets_total", "{state=\"never_passed\"}",
           c.totals.expired_blocked);
    sample("murvane_expired_triplets_total", "{state=\"passed\"}", c.totals.expired_passed);
    family("murvane_expired_clients_total", "counter",
           "Clients the expiry sweep deleted after they stayed idle.");
    sample("murvane_expired_clients_total", "", c.totals.expired_clients);
}

// The families in the order printed; a new database's family is one line.
void (*const families[])(const home_counts &) = {
    print_triplets, print_clients, print_replies, print_files, print_sweep,
};

}  // namespace

int print_stats()
{
    home_counts counts{};
    counts.now = time(nullptr);
    DB_ENV *env;
    DB *database;
    int ret;

    if ((ret = get_db(&database)) != 0 || (ret = get_dbenv(&env)) != 0) {
        fprintf(stderr, "DBD-%d: failed to open database\n", ret);
        return 1;
    }
    // The position first: keys up to it were walked by the current sweep.
    if ((ret = read_sweep(env, &counts)) == 0 &&
        (ret = walk_database(database, "triplets-1.db", count_triplet, &counts)) == 0) {
        ret = walk_if_present(env, clients_db_name, count_client, &counts.clients_present,
                              &counts);
        if (ret == 0)
            ret = walk_if_present(env, replies_db_name, count_reply, &counts.replies_present,
                                  &counts);
    }
    if (ret == 0)
        ret = list_files(&counts);
    free(counts.position.data);
    if (ret != 0)
        return 1;
    for (auto print : families)
        print(counts);
    fflush(stdout);
    return ferror(stdout) ? 1 : 0;
}
