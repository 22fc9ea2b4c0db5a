// SPDX-License-Identifier: BSD-2-Clause
// tries.cc - the pause between tries, and the undoing of a refused one.
#include "greylist/tries.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "storage/environment.h"

bool refused(int code)
{
    return code == DB_LOCK_DEADLOCK || code == DB_LOCK_NOTGRANTED;
}

void pause_before_try(int next)
{
    thread_local unsigned short seed[3];
    thread_local bool seeded;
    if (!seeded) {
        // Daemons started together by the mail server differ in pid at least.
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        seed[0] = static_cast<unsigned short>(getpid());
        seed[1] = static_cast<unsigned short>(now.tv_nsec);
        seed[2] = static_cast<unsigned short>(now.tv_nsec >> 16);
        seeded = true;
    }
    long least_us = 1000L * (next - 1);
    long wait_us = least_us + nrand48(seed) % (3 * least_us + 1);
    if (stop_reason != nullptr)
        return;
    struct timespec wait = {0, wait_us * 1000};
    nanosleep(&wait, nullptr);
}

void give_way(DB_TXN *volatile *txn, const char *call, int code, int next)
{
    if (settings.verbose)
        log_msg(LOG_INFO, "%s refused, trying the request again (try %d of %d): %s",
                call, next, max_tries, db_strerror(code));
    DB_TXN *undone = *txn;
    *txn = nullptr;
    int ret = undone->abort(undone);
    if (ret != 0)
        report_db_error("abort failed", ret);
    pause_before_try(next);
}
