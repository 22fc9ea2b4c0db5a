// SPDX-License-Identifier: BSD-2-Clause
// environment.h - the Berkeley DB environment and the triplet database.
//
// Both handles are opened on first use and kept until cleanup(). Every failed
// library call is logged once, where it failed, through report_db_error(),
// and its code is handed back to the caller unchanged. Processes that share
// the home directory are kept apart by the library's locks and transactions.
#ifndef MURVANE_STORAGE_ENVIRONMENT_H
#define MURVANE_STORAGE_ENVIRONMENT_H

#include <db.h>

extern DB_ENV *dbenv;        // the environment, null until opened
extern DB *db;               // triplets-1.db, null until opened
extern DB *clients_db;       // clients-1.db, null until opened (auto-whitelisting)
extern DB *replies_db;       // replies-1.db, null until opened (--replies)
extern int expiry_enabled;   // 1 once deadlock detection was configured
extern thread_local int in_expiry;        // above 0 while an expiry pass runs

// The environment's open flags; nothing else is ever given, but DB_THREAD
// in the resident server (open_free_threaded).
constexpr u_int32_t environment_flags = DB_CREATE | DB_RECOVER | DB_INIT_LOCK |
                                        DB_INIT_LOG | DB_INIT_MPOOL |
                                        DB_INIT_TXN | DB_REGISTER;

// How long, in microseconds, an opener that must run recovery waits for the
// other daemons to leave the environment it declared dead. An admin's
// DB_CONFIG (set_reg_timeout) overrides it.
constexpr db_timeout_t registry_timeout_us = 200000;

// The file in the home directory under whose flock() daemons open the
// environment one at a time (created when missing).
constexpr char open_lock_name[] = "environment.lock";

// get_dbenv - the environment, opened in settings.db_home on first use.
// Returns 0, or the library's or the system's code with null stored.
int get_dbenv(DB_ENV **handle);

// get_db - triplets-1.db, opened on first use (converting a v0 database or
// creating an empty one when the file does not exist). Returns 0 or a code.
int get_db(DB **handle);

// get_clients_db - clients-1.db (storage/stored_client.h), opened on first
// use and created when missing. Only auto-whitelisting asks for it, so a
// daemon without that option never creates the file. Returns 0 or a code.
int get_clients_db(DB **handle);

// get_replies_db - replies-1.db (storage/stored_reply.h), opened on first
// use and created when missing. Only --replies asks for it, so a daemon
// without that option never creates the file. Returns 0 or a code.
int get_replies_db(DB **handle);

// open_free_threaded - the environment and the shared handles are opened
// with DB_THREAD from now on, for the threads of the resident server. Called
// before the first open.
void open_free_threaded();

// open_thread_own - a handle on the database file `name` (which exists) of
// the open environment, for one thread's use alone: without DB_THREAD, so
// that cursor walks may read into the library's memory. The caller closes
// it. Returns 0 or a code (logged).
int open_thread_own(const char *name, DB **handle);

// cleanup - the last use of storage: close the databases, remove stats.db,
// checkpoint, remove unneeded logs, close the environment.
void cleanup();

// report_db_error - log a failed library call: "<context>: <reason>" at
// LOG_ERR, or in its notice form at LOG_NOTICE while an expiry pass runs.
void report_db_error(const char *context, int code);

// db_error_callback - the library's own diagnostics, logged at LOG_ERR.
void db_error_callback(const DB_ENV *env, const char *prefix, const char *message);

#endif
