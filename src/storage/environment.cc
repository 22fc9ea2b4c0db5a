// SPDX-License-Identifier: BSD-2-Clause
// environment.cc - the Berkeley DB environment and the triplet database.
//
// The home directory must exist: the daemon never creates it. The environment
// is opened with recovery and process registration, so the first process to
// open it after a crash runs recovery, and with a deadlock detector that
// refuses the youngest locker. Nothing else is configured here: cache and
// lock table sizes are the library's, or an admin's DB_CONFIG file's.
#include "storage/environment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/watchdog.h"
#include "storage/stored_client.h"
#include "storage/stored_reply.h"
#include "storage/upgrade.h"

DB_ENV *dbenv = nullptr;
DB *db = nullptr;
DB *clients_db = nullptr;
DB *replies_db = nullptr;
int expiry_enabled = 0;
thread_local int in_expiry = 0;

namespace {

// DB_THREAD on the environment and the shared handles: the resident server's
// threads share them. The spawned daemon, one thread, never sets it.
u_int32_t thread_flag = 0;

}  // namespace

void open_free_threaded()
{
    thread_flag = DB_THREAD;
}

void report_db_error(const char *context, int code)
{
    if (in_expiry)
        log_msg(LOG_NOTICE, "NOTICE (this is not an error): %s: %s", context,
                db_strerror(code));
    else
        log_msg(LOG_ERR, "%s: %s", context, db_strerror(code));
}

void db_error_callback(const DB_ENV *, const char *prefix, const char *message)
{
    log_msg(LOG_ERR, "%s: %s", prefix ? prefix : "Berkeley DB", message);
}

namespace {

// lock_opening - wait for the open lock of the home directory. Returns its
// descriptor (closing it releases the lock), or -1 when the lock cannot be
// had: that is logged, and the environment is opened without it, as mail
// must not stop for it.
int lock_opening()
{
    const char *home = settings.db_home ? settings.db_home : ".";
    int dir = open(home, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;  // the environment's own open reports a missing home
    int fd = openat(dir, open_lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    int saved = errno;
    close(dir);
    if (fd < 0) {
        log_msg(LOG_WARNING, "cannot open %s/%s, opening the environment without it: %s",
                home, open_lock_name, strerror(saved));
        return -1;
    }
    // A stop signal interrupts the wait; the request goes on, and the
    // daemon stops once it is answered.
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            log_msg(LOG_WARNING, "cannot lock %s/%s, opening the environment without it: %s",
                    home, open_lock_name, strerror(errno));
            close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

int get_dbenv(DB_ENV **handle)
{
    int ret;
    if (dbenv != nullptr) {
        *handle = dbenv;
        return 0;
    }
    if ((ret = db_env_create(&dbenv, 0)) != 0) {
        report_db_error("db_env_create", ret);
        dbenv = nullptr;
        *handle = nullptr;
        return ret;
    }
    dbenv->set_errcall(dbenv, db_error_callback);
    if ((ret = dbenv->set_lk_detect(dbenv, DB_LOCK_YOUNGEST)) != 0)
        report_db_error("dbenv->set_lk_detect DB_LOCK_YOUNGEST, expired triplets "
                        "will not be deleted", ret);
    else
        expiry_enabled = 1;
    // After a daemon was killed, the next opener declares the environment dead
    // and runs recovery. Without a registry timeout it does not wait for the
    // live daemons to leave, and a write one of them had under way lands after
    // the recovery and undoes commits. With it, they notice and leave first.
    if ((ret = dbenv->set_timeout(dbenv, registry_timeout_us, DB_SET_REG_TIMEOUT)) != 0)
        report_db_error("dbenv->set_timeout DB_SET_REG_TIMEOUT", ret);
    // Daemons open the environment one at a time. An opener that finds the
    // regions declared dead by another's recovery a moment earlier recovers
    // them itself, and the library runs that recovery without its registry
    // lock: openers that meet the dead regions together each remove and
    // rebuild what the others just built, declaring it dead in turn, and
    // behind a busy mail server, whose sessions start new daemons all the
    // time, that goes on and on. One at a time, a recovery runs alone and
    // the openers after it join the regions it built.
    int open_lock = lock_opening();
    ret = dbenv->open(dbenv, settings.db_home, environment_flags | thread_flag, 0);
    if (open_lock >= 0)
        close(open_lock);
    if (ret != 0) {
        report_db_error("dbenv->open", ret);
        dbenv->close(dbenv, 0);
        dbenv = nullptr;
        *handle = nullptr;
        return ret;
    }
    *handle = dbenv;
    return 0;
}

int get_db(DB **handle)
{
    DB_ENV *env;
    const char *context = nullptr;
    int ret;

    if (db != nullptr) {
        *handle = db;
        return 0;
    }
    if ((ret = get_dbenv(&env)) != 0)
        return ret;
    if ((ret = db_create(&db, env, 0)) != 0) {
        report_db_error("db_create", ret);
        db = nullptr;
        *handle = nullptr;
        return ret;
    }
    ret = db->open(db, nullptr, "triplets-1.db", nullptr, DB_BTREE,
                   DB_AUTO_COMMIT | thread_flag, 0644);
    if (ret == ENOENT) {
        // A handle whose open failed is only fit to be closed: the library
        // keeps what it copied for the attempt (the file name) and a second
        // open through it leaks that. The creating open gets a fresh handle.
        db->close(db, 0);
        db = nullptr;
        // The conversion reads the whole v0 database inside one request; its
        // time grows with the database, so the request's bound stops for it.
        watchdog_pause();
        ret = upgrade_from_v0(env);
        watchdog_resume();
        if (ret != 0) {
            report_db_error("upgrade_from_v0", ret);
        } else if ((ret = db_create(&db, env, 0)) != 0) {
            report_db_error("db_create", ret);
            db = nullptr;
        } else {
            ret = db->open(db, nullptr, "triplets-1.db", nullptr, DB_BTREE,
                           DB_AUTO_COMMIT | DB_CREATE | thread_flag, 0644);
            context = "db->open 2";
        }
    } else {
        context = "db->open";
    }
    if (ret != 0) {
        if (context != nullptr)
            report_db_error(context, ret);
        if (db != nullptr)
            db->close(db, 0);
        db = nullptr;
        *handle = nullptr;
        return ret;
    }
    *handle = db;
    return 0;
}

int get_clients_db(DB **handle)
{
    DB_ENV *env;
    int ret;

    if (clients_db != nullptr) {
        *handle = clients_db;
        return 0;
    }
    *handle = nullptr;
    if ((ret = get_dbenv(&env)) != 0)
        return ret;
    if ((ret = db_create(&clients_db, env, 0)) != 0) {
        report_db_error("db_create", ret);
        clients_db = nullptr;
        return ret;
    }
    if ((ret = clients_db->open(clients_db, nullptr, clients_db_name, nullptr, DB_BTREE,
                                DB_AUTO_COMMIT | DB_CREATE | thread_flag, 0644)) != 0) {
        report_db_error("db->open clients-1.db", ret);
        clients_db->close(clients_db, 0);
        clients_db = nullptr;
        return ret;
    }
    *handle = clients_db;
    return 0;
}

int get_replies_db(DB **handle)
{
    DB_ENV *env;
    int ret;

    if (replies_db != nullptr) {
        *handle = replies_db;
        return 0;
    }
    *handle = nullptr;
    if ((ret = get_dbenv(&env)) != 0)
        return ret;
    if ((ret = db_create(&replies_db, env, 0)) != 0) {
        report_db_error("db_create", ret);
        replies_db = nullptr;
        return ret;
    }
    if ((ret = replies_db->open(replies_db, nullptr, replies_db_name, nullptr, DB_BTREE,
                                DB_AUTO_COMMIT | DB_CREATE | thread_flag, 0644)) != 0) {
        report_db_error("db->open replies-1.db", ret);
        replies_db->close(replies_db, 0);
        replies_db = nullptr;
        return ret;
    }
    *handle = replies_db;
    return 0;
}

int open_thread_own(const char *name, DB **handle)
{
    DB_ENV *env;
    int ret;
    *handle = nullptr;
    if ((ret = get_dbenv(&env)) != 0)
        return ret;
    DB *own;
    if ((ret = db_create(&own, env, 0)) != 0) {
        report_db_error("db_create", ret);
        return ret;
    }
    if ((ret = own->open(own, nullptr, name, nullptr, DB_BTREE, DB_AUTO_COMMIT, 0644)) != 0) {
        char context[64];
        snprintf(context, sizeof context, "db->open %s", name);
        report_db_error(context, ret);
        own->close(own, 0);
        return ret;
    }
    *handle = own;
    return 0;
}

void cleanup()
{
    int ret;
    if (replies_db != nullptr) {
        if ((ret = replies_db->close(replies_db, 0)) != 0)
            report_db_error("DB close replies-1.db", ret);
        replies_db = nullptr;
    }
    if (clients_db != nullptr) {
        if ((ret = clients_db->close(clients_db, 0)) != 0)
            report_db_error("DB close clients-1.db", ret);
        clients_db = nullptr;
    }
    if (db != nullptr) {
        if ((ret = db->close(db, 0)) != 0)
            report_db_error("DB close", ret);
        db = nullptr;
    }
    if (dbenv != nullptr) {
        DB *stats;
        if ((ret = db_create(&stats, dbenv, 0)) != 0) {
            report_db_error("db_create", ret);
        } else if (stats->remove(stats, "stats.db", nullptr, 0) == 0) {
            // remove() uses the handle up, whatever its result.
            log_msg(LOG_NOTICE, "Unused database stats.db removed");
        }
        if ((ret = dbenv->txn_checkpoint(dbenv, 102400, 1440, 0)) != 0)
            report_db_error("txn_checkpoint", ret);
        if ((ret = dbenv->log_archive(dbenv, nullptr, DB_ARCH_REMOVE)) != 0)
            report_db_error("log_archive", ret);
        if ((ret = dbenv->close(dbenv, 0)) != 0)
            report_db_error("DB_ENV close", ret);
        dbenv = nullptr;
    }
}
