// SPDX-License-Identifier: BSD-2-Clause
// environment_test.cc - the environment's fixed settings, the handles'
// caching and retry, and the two forms of a logged library failure, in
// process. Failures seen by a mail server are driven through the binary in
// tests/storage_test.cc.
#include "storage/environment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/settings.h"
#include "run_daemon.h"

namespace {

class Environment : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = settings;
        settings.db_home = home.path.c_str();
        log_path = home.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
    }
    void TearDown() override
    {
        cleanup();
        settings = saved;
        in_expiry = 0;
        unsetenv("MURVANE_SYSLOG_FILE");
    }
    std::vector<std::string> logged() { return read_log_file(log_path); }

    temp_dir home;
    std::string log_path;
    settings_t saved;
};

TEST_F(Environment, OpensWithFixedFlagsAndYoungestDeadlockVictim)
{
    DB_ENV *env = nullptr;
    ASSERT_EQ(0, get_dbenv(&env));
    ASSERT_NE(nullptr, env);
    EXPECT_EQ(dbenv, env);
    u_int32_t flags = 0;
    ASSERT_EQ(0, env->get_open_flags(env, &flags));
    // The library keeps DB_RECOVER for the open alone; every other flag shows.
    EXPECT_EQ(environment_flags & ~static_cast<u_int32_t>(DB_RECOVER),
              flags & ~static_cast<u_int32_t>(DB_RECOVER));
    EXPECT_EQ(0x42703u, environment_flags);
    u_int32_t detect = 0;
    ASSERT_EQ(0, env->get_lk_detect(env, &detect));
    EXPECT_EQ(static_cast<u_int32_t>(DB_LOCK_YOUNGEST), detect);
    EXPECT_EQ(1, expiry_enabled);
    EXPECT_TRUE(logged().empty());
}

// Without a registry timeout, a recovery after a killed daemon does not wait
// for the live daemons to leave, and their late writes undo commits (see the
// torture test). An admin's DB_CONFIG line takes precedence over ours.
TEST_F(Environment, RecoveryWaitsForLiveDaemonsUnlessDbConfigSaysOtherwise)
{
    DB_ENV *env = nullptr;
    ASSERT_EQ(0, get_dbenv(&env));
    db_timeout_t timeout = 0;
    ASSERT_EQ(0, env->get_timeout(env, &timeout, DB_SET_REG_TIMEOUT));
    EXPECT_EQ(registry_timeout_us, timeout);
    EXPECT_LT(0u, registry_timeout_us);
    cleanup();

    FILE *config = fopen(home.file("DB_CONFIG").c_str(), "w");
    ASSERT_NE(nullptr, config);
    fputs("set_reg_timeout 50000\n", config);
    fclose(config);
    ASSERT_EQ(0, get_dbenv(&env));
    ASSERT_EQ(0, env->get_timeout(env, &timeout, DB_SET_REG_TIMEOUT));
    EXPECT_EQ(50000u, timeout);
}

TEST_F(Environment, HandlesAreOpenedOnceAndClosedByCleanup)
{
    DB *first = nullptr, *second = nullptr;
    ASSERT_EQ(0, get_db(&first));
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(0, get_db(&second));
    EXPECT_EQ(first, second);
    DBTYPE type;
    ASSERT_EQ(0, first->get_type(first, &type));
    EXPECT_EQ(DB_BTREE, type);
    cleanup();
    EXPECT_EQ(nullptr, db);
    EXPECT_EQ(nullptr, dbenv);
}

TEST_F(Environment, FailedOpenIsForgottenAndRetriedAfresh)
{
    std::string missing = home.file("missing");
    settings.db_home = missing.c_str();
    DB_ENV *env = reinterpret_cast<DB_ENV *>(this);
    EXPECT_EQ(ENOENT, get_dbenv(&env));
    EXPECT_EQ(nullptr, env);
    EXPECT_EQ(nullptr, dbenv);

    // get_db leaves the caller's variable alone when the environment failed.
    DB *handle = reinterpret_cast<DB *>(this);
    EXPECT_EQ(ENOENT, get_db(&handle));
    EXPECT_EQ(reinterpret_cast<DB *>(this), handle);
    EXPECT_EQ(nullptr, db);

    settings.db_home = home.path.c_str();
    ASSERT_EQ(0, get_db(&handle));
    EXPECT_EQ(db, handle);
    EXPECT_NE(nullptr, dbenv);
    std::string open_failed = std::string("err\tdbenv->open: ") + db_strerror(ENOENT);
    EXPECT_EQ((std::vector<std::string>{open_failed, open_failed}), logged());
}

TEST_F(Environment, ReportDbErrorHasANoticeFormDuringExpiry)
{
    report_db_error("db->open", DB_NOTFOUND);
    in_expiry = 1;
    report_db_error("dbcp->c_get failed", DB_LOCK_DEADLOCK);
    // The library's own diagnostics stay errors during an expiry pass.
    db_error_callback(nullptr, nullptr, "a library message");
    in_expiry = 0;
    db_error_callback(nullptr, "prefix", "another message");
    EXPECT_EQ((std::vector<std::string>{
                  std::string("err\tdb->open: ") + db_strerror(DB_NOTFOUND),
                  std::string("notice\tNOTICE (this is not an error): dbcp->c_get failed: ") +
                      db_strerror(DB_LOCK_DEADLOCK),
                  "err\tBerkeley DB: a library message",
                  "err\tprefix: another message",
              }),
              logged());
}

}  // namespace
