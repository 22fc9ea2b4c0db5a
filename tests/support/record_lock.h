// SPDX-License-Identifier: BSD-2-Clause
// record_lock.h - a write lock held by "another daemon": the test process.
//
// Opens the environment with the daemon's own flags (so it joins the daemon's
// environment as one more registered process), begins a transaction and reads
// one record with DB_RMW, which write-locks the B-tree page that holds it.
// The lock is held until release(), or commit() after records put in the
// same transaction. waiting_lockers() tells, from the lock region's
// statistics, how many lock requests have had to wait so far: a daemon
// blocked on the page shows there, without any sleep or guess.
#ifndef MURVANE_TESTS_RECORD_LOCK_H
#define MURVANE_TESTS_RECORD_LOCK_H

#include <db.h>

#include <cerrno>
#include <cstdlib>
#include <string>

class record_lock {
public:
    // Lock the page of `key` in `file`; error() is non-zero when that failed.
    record_lock(const std::string &home, const std::string &file, const std::string &key)
    {
        if ((ret_ = db_env_create(&env_, 0)) != 0) {
            env_ = nullptr;
            return;
        }
        if ((ret_ = env_->open(env_, home.c_str(),
                               DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG |
                                   DB_INIT_MPOOL | DB_INIT_TXN | DB_REGISTER,
                               0)) != 0)
            return;
        if ((ret_ = db_create(&db_, env_, 0)) != 0) {
            db_ = nullptr;
            return;
        }
        if ((ret_ = db_->open(db_, nullptr, file.c_str(), nullptr, DB_BTREE,
                              DB_AUTO_COMMIT, 0)) != 0)
            return;
        if ((ret_ = env_->txn_begin(env_, nullptr, &txn_, 0)) != 0) {
            txn_ = nullptr;
            return;
        }
        DBT k{}, v{};
        k.data = const_cast<char *>(key.data());
        k.size = static_cast<u_int32_t>(key.size());
        v.flags = DB_DBT_MALLOC;
        if ((ret_ = db_->get(db_, txn_, &k, &v, DB_RMW)) == 0)
            free(v.data);
    }

    ~record_lock() { release(); }
    record_lock(const record_lock &) = delete;
    record_lock &operator=(const record_lock &) = delete;

    int error() const { return ret_; }

    // put - store a record within the held transaction; the library's code.
    int put(const std::string &key, const std::string &value)
    {
        if (txn_ == nullptr)
            return EINVAL;
        DBT k{}, v{};
        k.data = const_cast<char *>(key.data());
        k.size = static_cast<u_int32_t>(key.size());
        v.data = const_cast<char *>(value.data());
        v.size = static_cast<u_int32_t>(value.size());
        return db_->put(db_, txn_, &k, &v, 0);
    }

    // commit - make the held transaction's puts stand and release its locks.
    int commit()
    {
        if (txn_ == nullptr)
            return EINVAL;
        DB_TXN *txn = txn_;
        txn_ = nullptr;
        return txn->commit(txn, 0);
    }

    // Lock requests of any process in the environment that had to wait.
    unsigned long long waiting_lockers() const
    {
        DB_LOCK_STAT *stat = nullptr;
        if (env_ == nullptr || env_->lock_stat(env_, &stat, 0) != 0)
            return 0;
        unsigned long long waits = stat->st_lock_wait;
        free(stat);
        return waits;
    }

    // 0 while the lock statistics can be read; the library's code once they
    // cannot (DB_RUNRECOVERY: a recovery elsewhere declared the environment
    // dead, and the page lock held here no longer holds anyone back).
    int stat_error() const
    {
        DB_LOCK_STAT *stat = nullptr;
        if (env_ == nullptr)
            return EINVAL;
        int ret = env_->lock_stat(env_, &stat, 0);
        if (ret == 0)
            free(stat);
        return ret;
    }

    // Undo the transaction (nothing was changed) and close every handle.
    void release()
    {
        if (txn_ != nullptr)
            txn_->abort(txn_);
        txn_ = nullptr;
        if (db_ != nullptr)
            db_->close(db_, 0);
        db_ = nullptr;
        if (env_ != nullptr)
            env_->close(env_, 0);
        env_ = nullptr;
    }

private:
    DB_ENV *env_ = nullptr;
    DB *db_ = nullptr;
    DB_TXN *txn_ = nullptr;
    int ret_ = 0;
};

#endif
