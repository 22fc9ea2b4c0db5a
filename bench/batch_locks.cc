// SPDX-License-Identifier: BSD-2-Clause
// batch_locks.cc - the most locks the expiry pass holds at once, by key length.
//
//   bench_batch_locks WORKDIR [--smoke]
//
// For keys from 40 bytes to 3,000 (overflow pages), it writes a database of a
// few thousand leaf pages, makes its regions afresh with the library's
// defaults, and runs the daemon's own pass over all of it in this process.
// The lock region's "maximum number of locks at any one time" is then what
// the largest batch of the pass needed. Once with 10% of the records idle,
// once with all of them. Prints a Markdown table. --smoke writes a tenth.
#include <db.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "common/settings.h"
#include "greylist/decision.h"
#include "greylist/expiry.h"
#include "storage/environment.h"
#include "workload.h"

namespace {

constexpr u_int32_t env_flags = DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG |
                                DB_INIT_MPOOL | DB_INIT_TXN | DB_REGISTER;

[[noreturn]] void fail(const char *what, int ret)
{
    fprintf(stderr, "bench_batch_locks: %s: %s\n", what, db_strerror(ret));
    exit(1);
}

// fill - `count` records with keys of `key_bytes`, one in `idle_every` idle,
// written in small transactions; the regions are removed afterwards.
void fill(const std::string &home, size_t count, size_t key_bytes, size_t idle_every)
{
    DB_ENV *env;
    DB *database;
    int ret;
    if ((ret = db_env_create(&env, 0)) != 0 || (ret = env->open(env, home.c_str(), env_flags, 0)) != 0)
        fail("dbenv->open", ret);
    if ((ret = db_create(&database, env, 0)) != 0 ||
        (ret = database->open(database, nullptr, "triplets-1.db", nullptr, DB_BTREE,
                              DB_AUTO_COMMIT | DB_CREATE, 0644)) != 0)
        fail("db->open", ret);
    time_t now = time(nullptr);
    std::string key(key_bytes, 'x');
    DB_TXN *txn = nullptr;
    for (size_t i = 0; i < count; i++) {
        if (i % 100 == 0) {
            if (txn != nullptr && (ret = txn->commit(txn, DB_TXN_NOSYNC)) != 0)
                fail("commit", ret);
            if ((ret = env->txn_begin(env, nullptr, &txn, 0)) != 0)
                fail("txn_begin", ret);
        }
        // Tag 1 and a scattered 4-byte address, so the records land on pages
        // in no particular order, as real traffic leaves them.
        uint32_t address = static_cast<uint32_t>(mix64(i));
        key[0] = 1;
        memcpy(&key[1], &address, 4);
        snprintf(&key[5], 11, "%010u", static_cast<unsigned>(i));
        key[15] = 'x';
        key[key_bytes / 2] = '\0';  // the NUL between sender and recipient
        int64_t value[4] = {i % idle_every == 0 ? now - 86400 : now - 60, now - 60, 1, 0};
        DBT k{}, v{};
        k.data = key.data();
        k.size = static_cast<u_int32_t>(key.size());
        v.data = value;
        v.size = sizeof value;
        if ((ret = database->put(database, txn, &k, &v, 0)) != 0)
            fail("db->put", ret);
    }
    if ((ret = txn->commit(txn, 0)) != 0)
        fail("commit", ret);
    database->close(database, 0);
    env->close(env, 0);
    if ((ret = db_env_create(&env, 0)) != 0 || (ret = env->remove(env, home.c_str(), 0)) != 0)
        fail("dbenv->remove", ret);
}

}  // namespace

int main(int argc, char **argv)
{
    bool smoke = argc == 3 && strcmp(argv[2], "--smoke") == 0;
    if (argc != 2 && !smoke) {
        fputs("usage: bench_batch_locks WORKDIR [--smoke]\n", stderr);
        return 2;
    }
    dbdata.data = &triplet_data;
    dbdata.size = dbdata.ulen = sizeof triplet_data;
    dbdata.flags = DB_DBT_USERMEM;
    struct shape {
        size_t key_bytes, count;
    };
    const shape shapes[] = {{40, 120000}, {200, 40000}, {700, 15000}, {1000, 12000},
                            {3000, 8000}};
    printf("| key bytes | idle | triplets | leaf pages | pass s | most locks at once |\n"
           "|---|---|---|---|---|---|\n");
    for (shape s : shapes) {
        if (smoke)
            s.count /= 10;
        for (size_t idle_every : {10, 1}) {
            std::string home = std::string(argv[1]) + "/locks-" + std::to_string(s.key_bytes) +
                               "-" + std::to_string(idle_every);
            std::filesystem::remove_all(home);
            std::filesystem::create_directories(home);
            fill(home, s.count, s.key_bytes, idle_every);
            settings.db_home = home.c_str();
            DB *handle;
            if (get_db(&handle) != 0)
                return 1;
            DB_BTREE_STAT *tree;
            if (handle->stat(handle, nullptr, &tree, 0) != 0)
                return 1;
            unsigned long pages = tree->bt_leaf_pg;
            free(tree);
            uint64_t start = now_ns();
            // The whole database, as one pass walked it before the sweep
            // was cut in slices: the locks of its batches are the same.
            run_sweep(0);
            double seconds = static_cast<double>(now_ns() - start) / 1e9;
            DB_LOCK_STAT *locks;
            if (dbenv->lock_stat(dbenv, &locks, 0) != 0)
                return 1;
            printf("| %zu | %s | %zu | %lu | %.2f | %lu |\n", s.key_bytes,
                   idle_every == 1 ? "all" : "10%", s.count, pages, seconds,
                   static_cast<unsigned long>(locks->st_maxnlocks));
            free(locks);
            cleanup();
            std::filesystem::remove_all(home);
        }
    }
    return 0;
}
