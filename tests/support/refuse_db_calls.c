// SPDX-License-Identifier: BSD-2-Clause
/*
 * refuse_db_calls.c - chosen library calls of the daemon fail, for the tests
 * of a refused request.
 *
 * The daemon reaches the library through the handles' method tables, so this
 * preloaded db_create() and db_env_create() let the library make the handle
 * and then put a wrapper in front of its get, put and txn_begin methods (and
 * of the commit method of each transaction begun). The
 * wrapper counts the calls of each kind over the whole process; a call chosen
 * by MURVANE_FAIL_CALLS returns its code without reaching the library, as a
 * call the deadlock detector refused does nothing. Every other call goes on
 * to the library's own method.
 *
 * MURVANE_FAIL_CALLS is a list of "call:N:code" items separated by commas:
 * call is get, put, txn_begin or commit, N the call's number counted from 1
 * (or "*" for every call), code the number to return. A chosen commit is
 * still made (the library ends the transaction either way) and only its
 * result replaced. MURVANE_FAIL_RAISE, a signal number, is raised once,
 * inside the first call that fails.
 */
#define _GNU_SOURCE
#include <db.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

enum call_kind { call_get, call_put, call_txn_begin, call_commit, call_kinds };

static const char *const call_names[call_kinds] = {"get", "put", "txn_begin", "commit"};
static unsigned long call_counts[call_kinds];
static int signal_raised;

static int (*library_get)(DB *, DB_TXN *, DBT *, DBT *, u_int32_t);
static int (*library_put)(DB *, DB_TXN *, DBT *, DBT *, u_int32_t);
static int (*library_txn_begin)(DB_ENV *, DB_TXN *, DB_TXN **, u_int32_t);
static int (*library_commit)(DB_TXN *, u_int32_t);

/* chosen_failure - count a call of `kind`; its code to return, or 0. */
static int chosen_failure(enum call_kind kind)
{
    unsigned long number = ++call_counts[kind];
    const char *list = getenv("MURVANE_FAIL_CALLS");
    if (list == NULL)
        return 0;
    size_t name_length = strlen(call_names[kind]);
    for (const char *item = list; item != NULL && *item != '\0';) {
        if (strncmp(item, call_names[kind], name_length) == 0 && item[name_length] == ':') {
            const char *which = item + name_length + 1;
            char *after;
            int every = *which == '*';
            unsigned long n = every ? 0 : strtoul(which, &after, 10);
            if (every)
                after = (char *)which + 1;
            if ((every || n == number) && *after == ':') {
                int code = atoi(after + 1);
                const char *raise_number = getenv("MURVANE_FAIL_RAISE");
                if (raise_number != NULL && !signal_raised) {
                    signal_raised = 1;
                    raise(atoi(raise_number));
                }
                return code;
            }
        }
        item = strchr(item, ',');
        if (item != NULL)
            item++;
    }
    return 0;
}

static int failing_get(DB *db, DB_TXN *txn, DBT *key, DBT *data, u_int32_t flags)
{
    int code = chosen_failure(call_get);
    return code != 0 ? code : library_get(db, txn, key, data, flags);
}

static int failing_put(DB *db, DB_TXN *txn, DBT *key, DBT *data, u_int32_t flags)
{
    int code = chosen_failure(call_put);
    return code != 0 ? code : library_put(db, txn, key, data, flags);
}

/* failing_commit - the commit is made; a chosen one then reports failure. */
static int failing_commit(DB_TXN *txn, u_int32_t flags)
{
    int ret = library_commit(txn, flags);
    int code = chosen_failure(call_commit);
    return code != 0 ? code : ret;
}

static int failing_txn_begin(DB_ENV *env, DB_TXN *parent, DB_TXN **txn, u_int32_t flags)
{
    int code = chosen_failure(call_txn_begin);
    if (code != 0)
        return code;
    int ret = library_txn_begin(env, parent, txn, flags);
    if (ret == 0) {
        library_commit = (*txn)->commit;
        (*txn)->commit = failing_commit;
    }
    return ret;
}

int db_create(DB **dbp, DB_ENV *env, u_int32_t flags)
{
    int (*next)(DB **, DB_ENV *, u_int32_t);
    /* The POSIX way to turn dlsym's object pointer into a function pointer. */
    *(void **)(&next) = dlsym(RTLD_NEXT, "db_create");
    if (next == NULL)
        abort();
    int ret = next(dbp, env, flags);
    if (ret == 0) {
        library_get = (*dbp)->get;
        library_put = (*dbp)->put;
        (*dbp)->get = failing_get;
        (*dbp)->put = failing_put;
    }
    return ret;
}

int db_env_create(DB_ENV **envp, u_int32_t flags)
{
    int (*next)(DB_ENV **, u_int32_t);
    *(void **)(&next) = dlsym(RTLD_NEXT, "db_env_create");
    if (next == NULL)
        abort();
    int ret = next(envp, flags);
    if (ret == 0) {
        library_txn_begin = (*envp)->txn_begin;
        (*envp)->txn_begin = failing_txn_begin;
    }
    return ret;
}
