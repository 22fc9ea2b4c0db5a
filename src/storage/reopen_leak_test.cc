// SPDX-License-Identifier: BSD-2-Clause
// reopen_leak_test.cc - regression: the first get_db() in a home without
// triplets-1.db leaked the file name the library had copied for the failed
// (not creating) open, because the creating open went through the same
// handle. One leak per process, but every sanitizer run that opened a fresh
// home failed on it.
#include <malloc.h>

#include <gtest/gtest.h>

#include <string>

#include "common/settings.h"
#include "run_daemon.h"
#include "storage/environment.h"

namespace {

// Heap bytes in use; the same before and after an open-and-cleanup cycle
// unless something was left behind. (The sanitizer's allocator reports 0
// here; its leak check at exit covers that build.)
size_t heap_in_use()
{
    return mallinfo2().uordblks;
}

// One whole life of storage in a new home: create, open, clean up.
void open_fresh_home(const std::string &home)
{
    settings.db_home = home.c_str();
    DB *handle = nullptr;
    ASSERT_EQ(0, get_db(&handle));
    ASSERT_NE(nullptr, handle);
    cleanup();
    ASSERT_EQ(nullptr, db);
    ASSERT_EQ(nullptr, dbenv);
}

TEST(GetDb, CreatingOpenOfFreshHomeLeaksNothing)
{
    const char *saved_home = settings.db_home;
    temp_dir warm_up, measured;
    // The library sets up process-wide state on its first use: measure the
    // second cycle.
    open_fresh_home(warm_up.path);
    size_t before = heap_in_use();
    open_fresh_home(measured.path);
    size_t after = heap_in_use();
    settings.db_home = saved_home;
    EXPECT_EQ(before, after) << "bytes left behind by one open of a fresh home";
}

}  // namespace
