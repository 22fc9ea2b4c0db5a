// SPDX-License-Identifier: BSD-2-Clause
// floor.cc - the storage floor in one process, and the database loader.
//
//   bench_floor run -h HOME --space S (--new | --known N) [--requests R]
//                   [--seconds T] [--processes K]
//   bench_floor load -h HOME --space S --count N [--expired-space X
//                    --expired-count E] [--v0]
//
// `run` does, per request, exactly the storage work of the daemon and of the
// least stdin program: one transaction with a get and a put of the triplet's
// 32-byte record, in an environment opened with the daemon's flags and
// deadlock detector, but no protocol and no process boundary. K processes
// run side by side, each with its own environment handle, released together
// once all have warmed up. It prints one line of name=value figures.
//
// `load` writes N passed triplets of space S (and E triplets of space X that
// are idle too long, for the expiry pass to delete) through the library, in
// key order and in batches, so that a million records take seconds. It sets
// nothing on the environment, so the regions it leaves behind have the
// library's defaults, as the daemon's own would. With --v0 it writes the
// same triplets into triplets.db in the old format v0 instead (address text,
// NUL, sender, NUL, recipient), for the daemon to convert.
#include <db.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "workload.h"

namespace {

constexpr u_int32_t env_flags = DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG |
                                DB_INIT_MPOOL | DB_INIT_TXN | DB_REGISTER;

struct record {
    int64_t create_time, access_time;
    uint64_t block_count, pass_count;
};
static_assert(sizeof(record) == 32);

struct options {
    std::string mode, home, space = "k", expired_space = "x";
    bool fresh = false;
    bool v0 = false;
    uint64_t known = 0, count = 0, expired_count = 0;
    uint64_t requests = 1000000;
    double seconds = 5;
    int processes = 1;
};

[[noreturn]] void usage()
{
    fputs("usage: bench_floor run -h HOME --space S (--new | --known N) "
          "[--requests R] [--seconds T] [--processes K]\n"
          "       bench_floor load -h HOME --space S --count N "
          "[--expired-space X --expired-count E] [--v0]\n",
          stderr);
    exit(2);
}

[[noreturn]] void fail(const char *what, int ret)
{
    fprintf(stderr, "bench_floor: %s: %s\n", what, db_strerror(ret));
    exit(1);
}

options parse(int argc, char **argv)
{
    options o;
    if (argc < 2)
        usage();
    o.mode = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "-h")
            o.home = next();
        else if (a == "--space")
            o.space = next();
        else if (a == "--new")
            o.fresh = true;
        else if (a == "--known")
            o.known = strtoull(next(), nullptr, 10);
        else if (a == "--count")
            o.count = strtoull(next(), nullptr, 10);
        else if (a == "--expired-space")
            o.expired_space = next();
        else if (a == "--expired-count")
            o.expired_count = strtoull(next(), nullptr, 10);
        else if (a == "--v0")
            o.v0 = true;
        else if (a == "--requests")
            o.requests = strtoull(next(), nullptr, 10);
        else if (a == "--seconds")
            o.seconds = atof(next());
        else if (a == "--processes")
            o.processes = atoi(next());
        else
            usage();
    }
    if (o.home.empty() || (o.mode != "run" && o.mode != "load") ||
        (o.mode == "run" && !o.fresh && o.known == 0) || o.processes < 1 ||
        o.processes > 64)
        usage();
    return o;
}

void open_storage(const std::string &home, DB_ENV **env, DB **db)
{
    int ret;
    if ((ret = db_env_create(env, 0)) != 0)
        fail("db_env_create", ret);
    (*env)->set_lk_detect(*env, DB_LOCK_YOUNGEST);
    if ((ret = (*env)->open(*env, home.c_str(), env_flags, 0)) != 0)
        fail("dbenv->open", ret);
    if ((ret = db_create(db, *env, 0)) != 0)
        fail("db_create", ret);
    if ((ret = (*db)->open(*db, nullptr, "triplets-1.db", nullptr, DB_BTREE,
                           DB_AUTO_COMMIT | DB_CREATE, 0644)) != 0)
        fail("db->open", ret);
}

uint64_t cpu_ns()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (static_cast<uint64_t>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 +
            static_cast<uint64_t>(u.ru_utime.tv_usec + u.ru_stime.tv_usec)) * 1000;
}

// What one worker sends back: its counts, then its latencies in ns.
struct worker_summary {
    uint64_t requests, deadlocks, failures, cpu_ns, elapsed_ns, latencies;
};

// one_request - the get-and-put transaction for one triplet. Returns 0, or
// the refusing or failing code (the transaction is then aborted).
int one_request(DB_ENV *env, DB *db, const bench_triplet &t)
{
    unsigned char key_buf[256];
    record value;
    DBT key{}, data{};
    key.data = key_buf;
    key.size = static_cast<u_int32_t>(stored_key(t, key_buf, sizeof key_buf));
    data.data = &value;
    data.size = data.ulen = sizeof value;
    data.flags = DB_DBT_USERMEM;

    DB_TXN *txn;
    int ret;
    if ((ret = env->txn_begin(env, nullptr, &txn, 0)) != 0)
        return ret;
    int64_t now = time(nullptr);
    ret = db->get(db, txn, &key, &data, DB_RMW);  // the daemon's read for update
    if (ret == DB_NOTFOUND) {
        value = {now, now, 1, 0};
    } else if (ret == 0) {
        value.access_time = now;
        value.pass_count++;
    } else {
        txn->abort(txn);
        return ret;
    }
    data.size = sizeof value;
    if ((ret = db->put(db, txn, &key, &data, 0)) != 0) {
        txn->abort(txn);
        return ret;
    }
    return txn->commit(txn, 0);
}

// worker - warm up, wait for the start, run, report through `out`.
void worker(const options &o, int number, int ready_fd, int go_fd, int out_fd)
{
    DB_ENV *env;
    DB *db;
    open_storage(o.home, &env, &db);
    // New triplets: each worker takes every K-th index of a space of its own
    // run; known triplets: a random walk over the known set.
    uint64_t state = mix64(static_cast<uint64_t>(getpid()) ^ now_ns());
    auto pick = [&](uint64_t i, bench_triplet *t) {
        if (o.fresh)
            make_triplet(o.space, i * static_cast<uint64_t>(o.processes) +
                                      static_cast<uint64_t>(number), t);
        else
            make_triplet(o.space, mix64(state + i) % o.known, t);
    };
    bench_triplet t;
    uint64_t i = 0;
    for (; i < 20; i++) {
        pick(i, &t);
        one_request(env, db, t);
    }
    char byte = 0;
    if (write(ready_fd, &byte, 1) != 1 || read(go_fd, &byte, 1) < 0)
        exit(1);

    uint64_t quota = o.requests / static_cast<uint64_t>(o.processes);
    std::vector<uint32_t> latencies;
    latencies.reserve(std::min<uint64_t>(quota, 4000000));
    worker_summary s{};
    uint64_t cpu_start = cpu_ns(), start = now_ns();
    uint64_t deadline = start + static_cast<uint64_t>(o.seconds * 1e9);
    uint64_t t0 = start;
    while (s.requests < quota && t0 < deadline) {
        pick(i++, &t);
        int ret = one_request(env, db, t);
        uint64_t t1 = now_ns();
        if (ret == DB_LOCK_DEADLOCK)
            s.deadlocks++;
        else if (ret != 0)
            s.failures++;
        latencies.push_back(static_cast<uint32_t>(std::min<uint64_t>(t1 - t0, UINT32_MAX)));
        s.requests++;
        t0 = t1;
    }
    s.elapsed_ns = now_ns() - start;
    s.cpu_ns = cpu_ns() - cpu_start;
    s.latencies = latencies.size();
    db->close(db, 0);
    env->close(env, 0);
    if (write(out_fd, &s, sizeof s) != static_cast<ssize_t>(sizeof s))
        exit(1);
    const char *bytes = reinterpret_cast<const char *>(latencies.data());
    size_t left = latencies.size() * sizeof(uint32_t);
    while (left > 0) {
        ssize_t n = write(out_fd, bytes, left);
        if (n <= 0)
            exit(1);
        bytes += n;
        left -= static_cast<size_t>(n);
    }
    exit(0);
}

bool read_all(int fd, void *buffer, size_t length)
{
    char *p = static_cast<char *>(buffer);
    while (length > 0) {
        ssize_t n = read(fd, p, length);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int run(const options &o)
{
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0)
        return 1;
    std::vector<std::pair<pid_t, int>> workers;
    for (int w = 0; w < o.processes; w++) {
        int out[2];
        if (pipe(out) != 0)
            return 1;
        pid_t pid = fork();
        if (pid < 0)
            return 1;
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            close(out[0]);
            worker(o, w, ready[1], go[0], out[1]);
        }
        close(out[1]);
        workers.emplace_back(pid, out[0]);
    }
    close(ready[1]);
    close(go[0]);
    char byte;
    int ready_count = 0;
    while (ready_count < o.processes && read(ready[0], &byte, 1) == 1)
        ready_count++;
    close(go[1]);  // every worker's read returns: go

    worker_summary total{};
    uint64_t max_elapsed = 0;
    std::vector<uint32_t> latencies;
    bool ok = ready_count == o.processes;
    for (auto &[pid, fd] : workers) {
        worker_summary s;
        if (read_all(fd, &s, sizeof s)) {
            size_t at = latencies.size();
            latencies.resize(at + s.latencies);
            if (!read_all(fd, latencies.data() + at, s.latencies * sizeof(uint32_t)))
                ok = false;
            total.requests += s.requests;
            total.deadlocks += s.deadlocks;
            total.failures += s.failures;
            total.cpu_ns += s.cpu_ns;
            max_elapsed = std::max(max_elapsed, s.elapsed_ns);
        } else {
            ok = false;
        }
        close(fd);
        int status;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ok = false;
    }
    if (!ok || total.requests == 0) {
        fputs("bench_floor: a worker failed\n", stderr);
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    double seconds = static_cast<double>(max_elapsed) / 1e9;
    printf("requests=%llu seconds=%.3f rps=%.1f p50_us=%.1f p99_us=%.1f "
           "cpu_us=%.2f deadlocks=%llu failures=%llu\n",
           static_cast<unsigned long long>(total.requests), seconds,
           static_cast<double>(total.requests) / seconds,
           latencies[latencies.size() / 2] / 1e3,
           latencies[latencies.size() * 99 / 100] / 1e3,
           static_cast<double>(total.cpu_ns) / 1e3 / static_cast<double>(total.requests),
           static_cast<unsigned long long>(total.deadlocks),
           static_cast<unsigned long long>(total.failures));
    return 0;
}

// v0_key - the triplet's key in format v0. Returns its length, 0 if `cap`
// is too small.
size_t v0_key(const bench_triplet &t, unsigned char *key, size_t cap)
{
    size_t a = strlen(t.client_address), s = strlen(t.sender), r = strlen(t.recipient);
    if (a + s + r + 2 > cap)
        return 0;
    memcpy(key, t.client_address, a + 1);
    memcpy(key + a + 1, t.sender, s + 1);
    memcpy(key + a + s + 2, t.recipient, r);
    return a + s + r + 2;
}

int load(const options &o)
{
    // The loader alone gets a large cache, so that inserts in random order
    // stay fast; it removes the regions when it is done, so the next opener
    // (the daemon) creates them afresh with the library's defaults.
    DB_ENV *env;
    DB *db;
    int ret;
    if ((ret = db_env_create(&env, 0)) != 0)
        fail("db_env_create", ret);
    env->set_cachesize(env, 0, 512 * 1024 * 1024, 1);
    env->set_lk_max_locks(env, 100000);
    env->set_lk_max_objects(env, 100000);
    env->set_lk_detect(env, DB_LOCK_YOUNGEST);
    if ((ret = env->open(env, o.home.c_str(), env_flags, 0)) != 0)
        fail("dbenv->open", ret);
    if ((ret = db_create(&db, env, 0)) != 0)
        fail("db_create", ret);
    if ((ret = db->open(db, nullptr, o.v0 ? "triplets.db" : "triplets-1.db", nullptr,
                        DB_BTREE, DB_AUTO_COMMIT | DB_CREATE, 0644)) != 0)
        fail("db->open", ret);

    int64_t now = time(nullptr);
    // Passed two days ago, seen an hour ago: answered DUNNO, and not idle
    // by either limit. The expired ones never passed and were created a day
    // ago, past the default 18000 seconds.
    const record passed = {now - 2 * 86400, now - 3600, 1, 3};
    const record stale = {now - 86400, now - 86400, 1, 0};

    // Triplets in the order of their hashed indexes, which is no key order:
    // pages split as they do under real traffic and end up about as full.
    uint64_t total = o.count + o.expired_count;
    unsigned char key_buf[256];
    bench_triplet t;
    constexpr uint64_t batch = 2000;
    for (uint64_t at = 0; at < total; at += batch) {
        DB_TXN *txn;
        if ((ret = env->txn_begin(env, nullptr, &txn, DB_TXN_NOSYNC)) != 0)
            fail("txn_begin", ret);
        for (uint64_t i = at; i < std::min(total, at + batch); i++) {
            bool expired = i >= o.count;
            make_triplet(expired ? o.expired_space : o.space, expired ? i - o.count : i, &t);
            record value = expired ? stale : passed;
            DBT key{}, data{};
            key.data = key_buf;
            key.size = static_cast<u_int32_t>(o.v0 ? v0_key(t, key_buf, sizeof key_buf)
                                                   : stored_key(t, key_buf, sizeof key_buf));
            data.data = &value;
            data.size = sizeof value;
            if ((ret = db->put(db, txn, &key, &data, 0)) != 0)
                fail("db->put", ret);
        }
        if ((ret = txn->commit(txn, 0)) != 0)
            fail("txn->commit", ret);
    }
    if ((ret = db->close(db, 0)) != 0)
        fail("db->close", ret);
    // A checkpoint lets the library drop the load's logs: hundreds of
    // megabytes at a million records.
    if ((ret = env->txn_checkpoint(env, 0, 0, DB_FORCE)) != 0)
        fail("txn_checkpoint", ret);
    if ((ret = env->log_archive(env, nullptr, DB_ARCH_REMOVE)) != 0)
        fail("log_archive", ret);
    if ((ret = env->close(env, 0)) != 0)
        fail("dbenv->close", ret);
    if ((ret = db_env_create(&env, 0)) != 0)
        fail("db_env_create", ret);
    if ((ret = env->remove(env, o.home.c_str(), 0)) != 0)
        fail("dbenv->remove", ret);
    printf("loaded=%llu\n", static_cast<unsigned long long>(total));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    options o = parse(argc, argv);
    return o.mode == "run" ? run(o) : load(o);
}
