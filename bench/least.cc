// SPDX-License-Identifier: BSD-2-Clause
// least.cc - the least program that serves the policy protocol over the
// triplet database: the floor that the daemon's own code is measured against.
//
// It reads requests on standard input, finds client_address, sender and
// recipient, and in one transaction reads and writes the triplet's 32-byte
// record in the daemon's environment, with the daemon's environment flags and
// deadlock detector. Nothing else: no screening, no templates, no stdio, no
// expiry. It answers DUNNO for a known triplet and a deferral for a new one.
// A refused try is undone and run again, at most three tries; a storage call
// refused on every try or failed ends it with status 1 after a WARN answer, as
// the daemon ends on one, so that both pay the same for a refusal.
//
// usage: bench_least -h HOME
#include <arpa/inet.h>
#include <db.h>
#include <unistd.h>

#include <csignal>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

DB_ENV *env;
DB *triplets;
unsigned char key_buf[4096];
struct record {
    int64_t create_time, access_time;
    uint64_t block_count, pass_count;
} value;
static_assert(sizeof(record) == 32);

char input[65536];

// A stop signal ends the wait for input (no SA_RESTART), and the loop then
// closes the environment, so that no other process has to recover it.
volatile sig_atomic_t stopped;
void stop(int) { stopped = 1; }

bool write_all(const char *bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = write(1, bytes, length);
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int open_storage(const char *home)
{
    int ret;
    if ((ret = db_env_create(&env, 0)) != 0)
        return ret;
    env->set_lk_detect(env, DB_LOCK_YOUNGEST);
    if ((ret = env->open(env, home, DB_CREATE | DB_RECOVER | DB_INIT_LOCK |
                         DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN | DB_REGISTER,
                         0)) != 0)
        return ret;
    if ((ret = db_create(&triplets, env, 0)) != 0)
        return ret;
    return triplets->open(triplets, nullptr, "triplets-1.db", nullptr, DB_BTREE,
                          DB_AUTO_COMMIT | DB_CREATE, 0644);
}

void close_storage()
{
    if (triplets)
        triplets->close(triplets, 0);
    if (env)
        env->close(env, 0);
}

// decide - one request between begin and end (end just past its empty line).
// Returns the answer's text, or null when storage failed.
// one_try - the request's transaction: read for update, write, commit. Returns
// 0 with the answer set (also when the commit failed, as the daemon does), or
// the code of a failed step, the transaction aborted.
int one_try(DBT *key, DBT *data, const char **answer)
{
    DB_TXN *txn;
    int ret;
    if ((ret = env->txn_begin(env, nullptr, &txn, 0)) != 0)
        return ret;
    // Read for update, as the daemon does: the write lock at once, so that
    // requests on one page queue instead of deadlocking.
    ret = triplets->get(triplets, txn, key, data, DB_RMW);
    int64_t now = time(nullptr);
    if (ret == DB_NOTFOUND) {
        value = {now, now, 1, 0};
        *answer = "action=DEFER_IF_PERMIT Greylisted, try again later\n\n";
    } else if (ret == 0) {
        value.access_time = now;
        value.pass_count++;
        *answer = "action=DUNNO\n\n";
    } else {
        txn->abort(txn);
        return ret;
    }
    data->size = sizeof value;
    if ((ret = triplets->put(triplets, txn, key, data, 0)) != 0) {
        txn->abort(txn);
        return ret;
    }
    txn->commit(txn, 0);
    return 0;
}

const char *decide(const char *begin, const char *end)
{
    const char *client = nullptr, *sender = nullptr, *recipient = nullptr;
    const char *client_end = nullptr, *sender_end = nullptr, *recipient_end = nullptr;
    // Every line of a complete request ends in a newline before `end`.
    for (const char *line = begin; line < end && *line != '\n';) {
        const char *newline = static_cast<const char *>(memchr(line, '\n', end - line));
        size_t n = static_cast<size_t>(newline - line);
        if (n >= 15 && memcmp(line, "client_address=", 15) == 0) {
            client = line + 15;
            client_end = newline;
        } else if (n >= 7 && memcmp(line, "sender=", 7) == 0) {
            sender = line + 7;
            sender_end = newline;
        } else if (n >= 10 && memcmp(line, "recipient=", 10) == 0) {
            recipient = line + 10;
            recipient_end = newline;
        }
        line = newline + 1;
    }
    if (!client || !sender || !recipient)
        return "action=DUNNO\n\n";

    size_t t = client_end - client, s = sender_end - sender, r = recipient_end - recipient;
    if (t + s + r + 24 > sizeof key_buf)
        return "action=DUNNO\n\n";
    char address[64];
    size_t a;
    if (t < sizeof address) {
        memcpy(address, client, t);
        address[t] = '\0';
    }
    if (t < sizeof address && inet_pton(AF_INET, address, key_buf + 1) == 1) {
        key_buf[0] = 1;
        a = 4;
    } else {
        key_buf[0] = 0;
        memcpy(key_buf + 1, client, t);
        key_buf[1 + t] = '\0';
        a = t + 1;
    }
    memcpy(key_buf + 1 + a, sender, s);
    key_buf[1 + a + s] = '\0';
    memcpy(key_buf + 2 + a + s, recipient, r);

    DBT key{}, data{};
    key.data = key_buf;
    key.size = static_cast<u_int32_t>(a + s + r + 2);
    data.data = &value;
    data.size = data.ulen = sizeof value;
    data.flags = DB_DBT_USERMEM;

    // A try the deadlock detector refuses is undone and run again after a
    // few milliseconds, at most three tries, as the daemon does.
    for (int tries = 1;; tries++) {
        const char *answer = nullptr;
        int ret = one_try(&key, &data, &answer);
        if (ret == 0)
            return answer;
        if ((ret != DB_LOCK_DEADLOCK && ret != DB_LOCK_NOTGRANTED) || tries == 3)
            return nullptr;
        struct timespec pause = {0, 1000L * 1000 * tries};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const char *home = nullptr;
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "-h") == 0)
            home = argv[++i];
    if (home == nullptr) {
        fputs("usage: bench_least -h HOME\n", stderr);
        return 2;
    }
    struct sigaction action{};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    if (open_storage(home) != 0) {
        close_storage();
        return 1;
    }

    size_t start = 0, length = 0;
    int status = 0;
    while (!stopped) {
        const char *held = input + start;
        const char *end = nullptr;
        for (const char *p = held; p + 1 < input + length; p++) {
            p = static_cast<const char *>(memchr(p, '\n', input + length - p - 1));
            if (p == nullptr)
                break;
            if (p[1] == '\n') {
                end = p + 2;
                break;
            }
        }
        if (end == nullptr) {
            memmove(input, held, length - start);
            length -= start;
            start = 0;
            if (length == sizeof input) {
                status = 1;
                break;
            }
            ssize_t n = read(0, input + length, sizeof input - length);
            if (n <= 0)
                break;
            length += static_cast<size_t>(n);
            continue;
        }
        const char *answer = decide(held, end);
        if (answer == nullptr) {
            write_all("action=WARN storage failed\n\n", 28);
            status = 1;
            break;
        }
        if (!write_all(answer, strlen(answer)))
            break;
        start = static_cast<size_t>(end - input);
    }
    close_storage();
    return stopped ? 1 : status;  // the daemon's status after a stop signal
}
