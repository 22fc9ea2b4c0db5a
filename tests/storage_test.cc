// SPDX-License-Identifier: BSD-2-Clause
// storage_test.cc - opening, failing and cleaning up storage, through the
// binary, on real faults: a home that is missing or is a plain file, a
// damaged database file, stored values of the wrong size.
#include <gtest/gtest.h>

#include <db.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

const std::string reject_3480 =
    "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 seconds.  "
    "See https://www.murvane.org/greylisting/ for more information.\n";

std::string request(const std::string &client = "192.0.2.1")
{
    return rcpt_request(client, "alice@example.org", "bob@example.net");
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A home the environment cannot be opened in; root is refused as well.
struct home_case {
    const char *name;
    std::function<std::string(const temp_dir &)> make;  // returns the home
    int error;                                          // the open's errno
};

// Each case shows by its name in test listings, not as raw bytes.
void PrintTo(const home_case &c, std::ostream *os) { *os << c.name; }

class UnopenableHome : public ::testing::TestWithParam<home_case> {};

TEST_P(UnopenableHome, FirstRequestWarnsAndDaemonStops)
{
    const home_case &c = GetParam();
    temp_dir dir;
    std::string home = c.make(dir);
    // The second request must never be read: the first one ends the run.
    daemon_result r = run_daemon({"-h", home}, request() + request("192.0.2.2"));
    EXPECT_EQ(1, r.status);
    // No empty line after the answer: the response stays unfinished.
    EXPECT_EQ("action=WARN get_dbenv failed\n", r.out);
    EXPECT_EQ((std::vector<std::string>{
                  std::string("err\tdbenv->open: ") + strerror(c.error),
                  "err\terror: cleaning up",
                  "err\terror: exiting after cleanup",
              }),
              r.log_messages());
    ASSERT_FALSE(r.log.empty());
    EXPECT_NE("closelog", r.log.back());  // the failure exit leaves syslog open
    // The daemon never creates its home, nor anything in its place.
    EXPECT_EQ(c.error == ENOENT, !exists(home));
    EXPECT_FALSE(exists(home + "/triplets-1.db"));
}

INSTANTIATE_TEST_SUITE_P(
    Homes, UnopenableHome,
    ::testing::Values(
        home_case{"missing_directory", [](const temp_dir &d) { return d.file("missing"); },
                  ENOENT},
        home_case{"below_missing_directory",
                  [](const temp_dir &d) { return d.file("missing/home"); }, ENOENT},
        home_case{"plain_file",
                  [](const temp_dir &d) {
                      write_file(d.file("plain"), "not a directory\n");
                      return d.file("plain");
                  },
                  ENOTDIR},
        // the library's shared region file cannot be created in its place
        home_case{"region_file_is_a_directory",
                  [](const temp_dir &d) {
                      std::filesystem::create_directories(d.file("home/__db.001"));
                      return d.file("home");
                  },
                  EISDIR}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Storage, FailureExitStillCleansUp)
{
    temp_dir dir;
    daemon_result r = run_daemon({"-d", "-h", dir.file("missing")}, request());
    EXPECT_EQ(1, r.status);
    ASSERT_GE(r.log.size(), 3u);
    std::vector<std::string> tail(r.log.end() - 3, r.log.end());
    EXPECT_EQ((std::vector<std::string>{"err\terror: cleaning up", "debug\tCleaned",
                                        "err\terror: exiting after cleanup"}),
              tail);
}

// A log file that cannot be read makes the library panic while the database
// is created: the request fails, and cleanup still runs every one of its
// steps, each failure logged under its own context, in order.
TEST(Storage, PanickedEnvironmentStillCleansUpEveryStep)
{
    temp_dir home;
    std::filesystem::create_directories(home.file("log.0000000001"));
    daemon_run run;
    run.args = {"-h", home.path};
    run.input = request();
    // A panicked library refuses to free its handles (every close returns
    // DB_RUNRECOVERY first), so the sanitizer build's leak check is off for
    // this run alone; its checks of memory accesses stay on.
    run.env = {"ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    daemon_result r = run_daemon(run);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("action=WARN get_db failed\n", r.out);
    const std::string panic = db_strerror(DB_RUNRECOVERY);
    std::vector<std::string> ours;  // the daemon's own lines, not the library's
    for (const auto &m : r.messages("err"))
        if (m.rfind("Berkeley DB: ", 0) != 0)
            ours.push_back(m);
    EXPECT_EQ((std::vector<std::string>{
                  "db->open 2: " + panic,
                  "error: cleaning up",
                  "db_create: " + panic,
                  "txn_checkpoint: " + panic,
                  "log_archive: " + panic,
                  "DB_ENV close: " + panic,
                  "error: exiting after cleanup",
              }),
              ours);
}

TEST(Storage, DamagedDatabaseIsNeitherConvertedNorReplaced)
{
    temp_dir home;
    const std::string damaged = "not a database\n";
    write_file(home.file("triplets-1.db"), damaged);
    daemon_result r = run_daemon({"-h", home.path}, request() + request("192.0.2.2"));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("action=WARN get_db failed\n", r.out);
    EXPECT_TRUE(r.logged("err", "db->open: Invalid argument"));
    EXPECT_TRUE(r.logged("err", "error: exiting after cleanup"));
    EXPECT_TRUE(r.messages("warning").empty());  // no v0 conversion was begun
    EXPECT_EQ(damaged, read_file(home.file("triplets-1.db")));
}

TEST(Storage, FreshHomeCreatesDatabaseWithMode0644Silently)
{
    temp_dir home;
    mode_t old = umask(0);  // so the mode bits are exactly those asked for
    daemon_result r = run_daemon({"-h", home.path}, request());
    umask(old);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(reject_3480 + "\n", r.out);
    EXPECT_TRUE(r.log_messages().empty()) << r.log_messages().front();
    struct stat st;
    ASSERT_EQ(0, stat(home.file("triplets-1.db").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_FALSE(exists(home.file("triplets.db")));
}

TEST(Storage, DataIsKeptBetweenRuns)
{
    temp_dir home;
    ASSERT_EQ(0, run_daemon({"-h", home.path}, request()).status);
    daemon_result r = run_daemon({"-h", home.path}, request());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.rfind("action=DEFER_IF_PERMIT ", 0)) << r.out;
    record_list records = read_records(home.path);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(2u, decode_record(records[0].second).block_count);
}

// Daemons open the environment one at a time, under flock() on
// environment.lock in the home: a recovery then runs alone, and openers that
// meet regions a recovery just declared dead do not each rebuild them. While
// another process holds the lock, the daemon waits before the library
// touches the home at all, and answers once the lock is free.
TEST(Storage, EnvironmentIsOpenedUnderTheOpenLock)
{
    temp_dir home;
    int fd = open(home.file("environment.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_LE(0, fd);
    ASSERT_EQ(0, flock(fd, LOCK_EX));
    daemon_run run;
    run.args = {"-h", home.path};
    daemon_process daemon = start_daemon(run);
    write_input(daemon, request());
    close_input(daemon);
    bool waited = wait_in_system_call(daemon, SYS_flock);
    bool registered = exists(home.file("__db.register"));
    close(fd);
    daemon_result r = finish_daemon(daemon);
    EXPECT_TRUE(waited);
    EXPECT_FALSE(registered);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(reject_3480 + "\n", r.out);
    EXPECT_TRUE(r.log_messages().empty()) << r.log_messages().front();
}

// A lock file that cannot be opened (here a directory in its place) must not
// stop mail: the daemon says so and opens the environment without it.
TEST(Storage, UnusableOpenLockIsLoggedAndMailGoesOn)
{
    temp_dir home;
    std::filesystem::create_directories(home.file("environment.lock"));
    daemon_result r = run_daemon({"-h", home.path}, request());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(reject_3480 + "\n", r.out);
    EXPECT_EQ((std::vector<std::string>{"cannot open " + home.path +
                                        "/environment.lock, opening the environment "
                                        "without it: Is a directory"}),
              r.messages("warning"));
}

// A daemon killed inside its own recovery leaves the next opener regions in
// one of three states, by the moment of the kill. Recovery first marks the
// old regions dead, waits the registry timeout for the daemons in them to
// leave, empties every slot of the registry, waits again, then registers
// itself, removes the regions and builds new ones:
//   - killed in the first wait: the registry still names the dead daemon, and
//     the next opener's own recovery, marking the regions dead in turn, finds
//     them marked already;
//   - killed in the second wait: the registry names no one, so the next
//     opener joins the dead regions, is refused, and recovers them itself;
//   - killed as it began the new regions: the first region file is still
//     empty, and the next opener's recovery cannot join it to mark it dead.
// Each time the library logs a line (the last one twice, once for each look
// at the empty file) while the next opener recovers, and the opener then
// works: these are the lines the torture test lets a listing after its kills
// log, and nothing else.
struct killed_recovery_case {
    const char *name;
    bool registry_emptied;      // killed after the registry's slots were emptied
    bool region_file_emptied;   // the region files as a kill while creating them leaves them
    std::vector<std::string> library_lines;  // what the next opener logs
};

const std::string dead_regions =
    "Berkeley DB: BDB0060 PANIC: fatal region error detected; run recovery";
const std::string unjoinable_region = "Berkeley DB: BDB1546 unable to join the environment";

void PrintTo(const killed_recovery_case &c, std::ostream *os) { *os << c.name; }

class KilledRecovery : public ::testing::TestWithParam<killed_recovery_case> {};

// registry_slots - the registry's slots that name a process.
int registry_slots(const temp_dir &home)
{
    std::ifstream in(home.file("__db.register"));
    int named = 0;
    for (std::string line; std::getline(in, line);)
        named += !line.empty() && line[0] != 'X';
    return named;
}

TEST_P(KilledRecovery, NextOpenerLogsTheLibrarysLineAndLosesNothing)
{
    const killed_recovery_case &c = GetParam();
    temp_dir home;
    // The first daemon commits a triplet and dies holding the environment.
    daemon_run run;
    run.args = {"-h", home.path};
    daemon_process first = start_daemon(run);
    write_input(first, request());
    ASSERT_TRUE(read_output_until(first, "\n\n"));
    kill(first.pid, SIGKILL);
    finish_daemon(first);

    if (c.region_file_emptied) {
        // A recovery killed between creating the first region file and
        // writing it: the old regions are gone, the new one is empty.
        for (const auto &entry : std::filesystem::directory_iterator(home.path))
            if (entry.path().filename().string().rfind("__db.0", 0) == 0)
                std::filesystem::remove(entry.path());
        write_file(home.file("__db.001"), "");
    } else {
        // The second daemon recovers under a registry timeout of seconds, so
        // that the test finds it in the wait it wants and kills it there.
        write_file(home.file("DB_CONFIG"), "set_reg_timeout 2000000\n");
        daemon_process second = start_daemon(run);
        write_input(second, request("192.0.2.2"));
        bool in_wait = wait_in_system_call(second, SYS_pselect6, [&] {
            return (registry_slots(home) == 0) == c.registry_emptied;
        });
        kill(second.pid, SIGKILL);
        daemon_result killed = finish_daemon(second);
        ASSERT_TRUE(in_wait) << "the second daemon never waited in its recovery";
        EXPECT_EQ("", killed.out);
        std::filesystem::remove(home.file("DB_CONFIG"));
    }

    daemon_result dump = run_daemon({"-h", home.path, "--dump-triplets"});
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ("", dump.err);
    EXPECT_EQ(c.library_lines, dump.messages("err"));
    EXPECT_EQ(1, std::count(dump.out.begin(), dump.out.end(), '\n')) << dump.out;
    EXPECT_NE(std::string::npos, dump.out.find("192.0.2.1")) << dump.out;
    DB *verifier;
    ASSERT_EQ(0, db_create(&verifier, nullptr, 0));
    EXPECT_EQ(0, verifier->verify(verifier, home.file("triplets-1.db").c_str(), nullptr,
                                  nullptr, 0));
    // Recovered: the next daemon joins silently and sees the triplet.
    daemon_result next = run_daemon({"-h", home.path}, request());
    EXPECT_EQ(0, next.status);
    EXPECT_EQ(0u, next.out.rfind("action=DEFER_IF_PERMIT ", 0)) << next.out;
    EXPECT_TRUE(next.log_messages().empty()) << next.log_messages().front();
    record_list records = read_records(home.path);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(2u, decode_record(records[0].second).block_count);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, KilledRecovery,
    ::testing::Values(
        killed_recovery_case{"in_the_first_wait", false, false, {dead_regions}},
        killed_recovery_case{"in_the_second_wait", true, false, {dead_regions}},
        killed_recovery_case{"creating_the_regions", false, true,
                             {unjoinable_region, unjoinable_region}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Storage, StatsDatabaseIsRemovedWithNotice)
{
    temp_dir home;
    put_records(home.path, "stats.db", {{"key", "value"}});
    ASSERT_TRUE(exists(home.file("stats.db")));
    daemon_result r = run_daemon({"-h", home.path}, request());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((std::vector<std::string>{"Unused database stats.db removed"}),
              r.messages("notice"));
    EXPECT_FALSE(exists(home.file("stats.db")));
    EXPECT_EQ(1u, read_records(home.path).size());
}

TEST(Storage, NoStatsDatabaseNoNotice)
{
    temp_dir home;
    daemon_result r = run_daemon({"-h", home.path}, request());
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(r.messages("notice").empty());
}

TEST(Storage, CleanupLogsCleanedWithDebug)
{
    struct cleaned_case {
        const char *name;
        std::string input;
    };
    const cleaned_case cases[] = {
        {"storage opened", request()},
        {"storage never opened", ""},
    };
    for (const auto &c : cases) {
        temp_dir home;
        daemon_result r = run_daemon({"-d", "-h", home.path}, c.input);
        EXPECT_EQ(0, r.status) << c.name;
        ASSERT_GE(r.log.size(), 2u) << c.name;
        EXPECT_EQ("debug\tCleaned", r.log[r.log.size() - 2]) << c.name;
        EXPECT_EQ("closelog", r.log.back()) << c.name;
        EXPECT_TRUE(r.messages("err").empty()) << c.name;
        // Cleanup of a process that never used storage creates nothing.
        EXPECT_EQ(!c.input.empty(), exists(home.file("triplets-1.db"))) << c.name;
    }
}

// A stored value that is not a 32-byte record, found by a process whose
// record buffer still holds a passed triplet's record from its first request.
struct value_case {
    const char *name;
    size_t size;
};

void PrintTo(const value_case &c, std::ostream *os) { *os << c.name; }

class WrongSizeValue : public ::testing::TestWithParam<value_case> {};

TEST_P(WrongSizeValue, IsNeverDecidedOnStaleBytes)
{
    const value_case &c = GetParam();
    temp_dir home;
    time_t now = time(nullptr);
    std::string passed_key = ipv4_key("192.0.2.9", "alice@example.org", "bob@example.net");
    std::string odd_key = ipv4_key("192.0.2.1", "alice@example.org", "bob@example.net");
    std::string odd_value(c.size, '\x7f');
    put_records(home.path, "triplets-1.db",
                {{passed_key, record_value(now - 7200, now - 100, 1, 1)},
                 {odd_key, odd_value}});

    time_t before = time(nullptr);
    daemon_result r = run_daemon({"-h", home.path}, request("192.0.2.9") + request());
    time_t after = time(nullptr);
    record_list records = read_records(home.path);
    ASSERT_EQ(2u, records.size());
    ASSERT_EQ(hex(odd_key), hex(records[0].first));

    if (c.size > 32) {
        // Too long for the record buffer: the read fails and nothing changes.
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("action=DUNNO\n\naction=WARN get failed\n", r.out);
        EXPECT_TRUE(r.logged("err", std::string("get failed: ") +
                                        db_strerror(DB_BUFFER_SMALL)));
        EXPECT_EQ(hex(odd_value), hex(records[0].second));
        return;
    }
    // Too short: the triplet starts afresh and gets a whole record.
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("action=DUNNO\n\n" + reject_3480 + "\n", r.out);
    EXPECT_EQ((std::vector<std::string>{"stored value of " + std::to_string(c.size) +
                                        " bytes for triplet 192.0.2.1 is no triplet "
                                        "record, starting afresh"}),
              r.messages("warning"));
    ASSERT_EQ(32u, records[0].second.size());
    record_fields stored = decode_record(records[0].second);
    EXPECT_EQ(stored.create_time, stored.access_time);
    EXPECT_LE(before, stored.create_time);
    EXPECT_GE(after, stored.create_time);
    EXPECT_EQ(1u, stored.block_count);
    EXPECT_EQ(0u, stored.pass_count);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WrongSizeValue,
                         ::testing::Values(value_case{"empty", 0}, value_case{"eight", 8},
                                           value_case{"one_short", 31},
                                           value_case{"one_over", 33},
                                           value_case{"double", 64}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
