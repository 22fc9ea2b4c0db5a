// SPDX-License-Identifier: BSD-2-Clause
// torture_test.cc - daemons killed at random moments while others serve.
//
// K daemon processes serve streams of RCPT requests on one environment, on a
// small pool of triplets, so that their transactions meet on the same pages.
// At random moments the test kills one of them with SIGKILL - mostly a few
// hundred microseconds after handing it a request, so that it dies inside its
// transaction - and starts a new one in its place; at the end the others are
// stopped by the end of their input. Then:
//   - the environment opens cleanly (the dump runs recovery where needed),
//     logging nothing but the library's report of regions that a daemon
//     killed inside its own recovery left behind (after_killed_recovery);
//   - the library's verifier finds triplets-1.db sound;
//   - every record belongs to the pool, create_time <= access_time, both lie
//     within the run, and each counter lies between the answers that were
//     committed and those plus the requests whose fate is unknown (so nothing
//     committed was lost, and nothing was counted twice); the one allowance
//     is the last answer of a daemon whose environment a recovery then
//     declared dead ("at risk", see end_daemon);
//   - once a triplet's pass was committed and answered, no later request for
//     it was deferred or told it passed for the first time;
//   - every answer, finished or cut short, was a legal one, and no daemon
//     wrote anything to standard error or ended by a signal it was not sent.
//
// An answer finished with its empty line was committed: the daemon flushes
// only after the commit returned (a daemon that logs "commit failed" has its
// answers moved to the unknown ones). An answer cut short by the daemon's own
// failure exit was not: its transaction was aborted. A request whose daemon
// was killed first may have been committed or not.
//
// The library cannot release a lock held by a process that was killed: a
// daemon waiting for such a lock stays blocked in a futex wait, even after the
// next opener has run recovery, until its own request bound (30 s) ends it.
// The test's bound on a wait for an answer (20 s by default) comes first: it
// kills such a daemon by its PID, and counts it as blocked. The bound itself
// is tested in watchdog_test.
//
// The daemon that runs recovery after a kill declares the environment dead;
// the library lets the live daemons leave first only for its registry
// timeout, 0 by default. A live daemon whose write to the log or the database
// passed its check of that declaration just before can then finish the write
// after the recovery, and commits of that moment - its own, or others' on the
// page it overwrites - are undone. The daemon therefore sets a registry
// timeout of its own (200 ms). MURVANE_TORTURE_REG_TIMEOUT_US writes another
// one into DB_CONFIG, which takes precedence: 0 brings back the library's
// default, under which large runs do lose a few committed answers
// (docs/reliability.md).
//
// Sizes come from the environment, so that a larger run is one command away:
//   MURVANE_TORTURE_PROCESSES (4)   daemons serving at once
//   MURVANE_TORTURE_REQUESTS (1500) requests in all
//   MURVANE_TORTURE_KILLS (30)      SIGKILLs at random moments
//   MURVANE_TORTURE_TRIPLETS (12)   size of the triplet pool
//   MURVANE_TORTURE_STALL_MS (20000) wait after which a daemon counts as blocked
//   MURVANE_TORTURE_REG_TIMEOUT_US (unset) set_reg_timeout in DB_CONFIG; unset: none
//   MURVANE_TORTURE_SEED            random seed (from the clock when unset)
// The figures are printed at the end and recorded as test properties.
#include <db.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

long long now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long env_number(const char *name, long fallback, long low, long high)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    long value = strtol(text, nullptr, 10);
    return std::clamp(value, low, high);
}

constexpr int greylist_delay = 1;
const std::vector<std::string> legal_warnings = {"get_dbenv failed", "get_db failed",
                                                 "txn_begin failed", "get failed",
                                                 "time failed"};

// What the listing, the first opener after the last kills, may log. A daemon
// killed inside its own recovery - in one of the registry timeout's two
// waits, or as it began the new regions - leaves the next opener regions
// that the library reports while it recovers them, with one of these (the
// last twice); storage_test's KilledRecovery shows each moment. A daemon of
// the run starts its open at its first request, so only after a daemon was
// killed before its first answer.
const std::string dead_regions =
    "Berkeley DB: BDB0060 PANIC: fatal region error detected; run recovery";
const std::string unjoinable_region = "Berkeley DB: BDB1546 unable to join the environment";
const std::vector<std::vector<std::string>> after_killed_recovery = {
    {dead_regions}, {unjoinable_region, unjoinable_region}};

// The triplet pool: a handful of clients, senders and recipients.
std::string client_of(int t) { return "192.0.2." + std::to_string(10 + t % 5); }
std::string sender_of(int t) { return "sender" + std::to_string(t / 5) + "@example.org"; }
const std::string recipient = "postmaster@example.net";

// committed: answered in full; refused: cut short by the daemon's failure
// exit (its transaction aborted); unknown: killed first, or its commit failed;
// at_risk: the last committed answer of a daemon whose environment a recovery
// then declared dead (see end_daemon).
enum class fate { pending, committed, refused, unknown, at_risk };

struct request_record {
    int triplet;
    int daemon;             // index into the daemons of the run
    long long sent_us;
    long long answered_us = -1;
    std::string answer;     // the action line without "action=", if any came
    fate outcome = fate::pending;
};

struct daemon_record {
    daemon_process process;
    bool running = true;
    int in_flight = -1;          // request waiting for its answer
    size_t parsed = 0;           // output up to here has been taken apart
    std::vector<int> answered;   // requests answered in full
    std::string ending;          // how it ended
    daemon_result result;
};

// What one run counted; printed at the end and kept in the test's record.
struct figures {
    long requests = 0, answered = 0, defers = 0, passes = 0, dunnos = 0;
    long warn_answers = 0, cut_short = 0, unknown = 0, at_risk = 0, missing = 0;
    long kills = 0, kills_in_environment = 0, blocked = 0, blocked_at_stop = 0;
    long killed_unanswered = 0;  // killed before their first answer, perhaps opening
    long failure_exits = 0, orderly_exits = 0, started = 0;
    long long longest_answer_us = 0;
    std::map<std::string, long> warn_texts;   // WARN answers by text
    std::map<std::string, long> exit_causes;  // failure exits by logged cause
    std::map<std::string, long> blocked_in;   // blocked daemons by system call
    std::map<std::string, long> errors;       // every error logged, by kind
};

// A logged error without the library's message numbers ("BDB0068 ") and
// other digits, so that like messages add up.
std::string message_kind(const std::string &message)
{
    std::string kind;
    for (size_t i = 0; i < message.size(); i++) {
        if (message.compare(i, 3, "BDB") == 0 && i + 3 < message.size() &&
            isdigit(static_cast<unsigned char>(message[i + 3]))) {
            i += 3;
            while (i < message.size() && isdigit(static_cast<unsigned char>(message[i])))
                i++;
            if (i < message.size() && message[i] != ' ')
                kind.push_back(message[i]);
            continue;
        }
        if (!isdigit(static_cast<unsigned char>(message[i])))
            kind.push_back(message[i]);
    }
    return kind;
}

// The last few errors a daemon logged, for a failure message.
std::string last_errors(const daemon_result &r)
{
    auto errors = r.messages("err");
    std::string out;
    for (size_t i = errors.size() > 4 ? errors.size() - 4 : 0; i < errors.size(); i++)
        out += "\n  " + errors[i];
    return out;
}

// The system call a blocked process waits in, as /proc shows it.
std::string waiting_in(pid_t pid)
{
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    std::string number;
    syscall >> number;
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string channel;
    wchan >> channel;
    if (number == "202")
        number = "futex";
    else if (number == "271")
        number = "ppoll";
    return number + (channel.empty() ? "" : " (" + channel + ")");
}

class Torture : public testing::Test {
protected:
    int processes = static_cast<int>(env_number("MURVANE_TORTURE_PROCESSES", 4, 1, 32));
    long total = env_number("MURVANE_TORTURE_REQUESTS", 1500, 1, 10000000);
    long kills_wanted = env_number("MURVANE_TORTURE_KILLS", 30, 0, 1000000);
    int triplets = static_cast<int>(env_number("MURVANE_TORTURE_TRIPLETS", 12, 1, 10000));
    long long stall_us = env_number("MURVANE_TORTURE_STALL_MS", 20000, 100, 3600000) * 1000LL;
    unsigned seed = static_cast<unsigned>(
        env_number("MURVANE_TORTURE_SEED", static_cast<long>(time(nullptr) % 1000000), 0,
                   1L << 30));

    // A registry timeout in DB_CONFIG in place of the daemon's own (see the
    // top); -1 (unset) writes no DB_CONFIG.
    long reg_timeout_us = env_number("MURVANE_TORTURE_REG_TIMEOUT_US", -1, 0, 100000000);

    temp_dir home;
    std::mt19937 random{seed};
    std::vector<request_record> requests;
    std::vector<daemon_record> daemons;
    std::vector<int> slots;   // the daemon serving each slot
    figures f;
    std::vector<std::string> faults;  // what went wrong, for the failure message

    // The library does not free its own memory when it closes an environment
    // that recovery elsewhere has declared dead (the close fails with
    // DB_RUNRECOVERY); in the sanitizer build the leak checker would report
    // that at the exit and, exiting early, swallow the daemon's last answer.
    // Leaks inside the library are left to the library here.
    temp_dir scratch;
    std::string suppressions = [this] {
        std::string path = scratch.file("lsan.supp");
        FILE *file = fopen(path.c_str(), "w");
        fputs("leak:libdb-5.3.so\n", file);
        fclose(file);
        return path;
    }();

    int start_in_slot()
    {
        daemon_run run;
        run.args = {"-h", home.path, "-g", std::to_string(greylist_delay),
                    "-r", "defer %d", "-G", "pass %d"};
        // In the sanitizer build a crash is reported with its stack rather
        // than taken by the daemon's own SIGSEGV handler.
        run.env = {"LSAN_OPTIONS=print_suppressions=0:suppressions=" + suppressions,
                   "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:"
                   "allow_user_segv_handler=0"};
        daemon_record d;
        d.process = start_daemon(run);
        daemons.push_back(std::move(d));
        f.started++;
        return static_cast<int>(daemons.size()) - 1;
    }

    // take_answers - move the answers finished so far out of the output.
    void take_answers(daemon_record &d)
    {
        for (;;) {
            size_t end = d.process.out.find("\n\n", d.parsed);
            if (end == std::string::npos)
                return;
            std::string line = d.process.out.substr(d.parsed, end - d.parsed);
            d.parsed = end + 2;
            if (d.in_flight < 0) {
                faults.push_back("answer without a request: " + line);
                continue;
            }
            request_record &r = requests[d.in_flight];
            r.answered_us = now_us();
            r.answer = line;
            r.outcome = fate::committed;
            f.longest_answer_us = std::max(f.longest_answer_us, r.answered_us - r.sent_us);
            d.answered.push_back(d.in_flight);
            d.in_flight = -1;
        }
    }

    // end_daemon - collect a daemon that has exited, was killed or is to be
    // killed now (`how` says which), and settle its last request.
    // Returns whether the kill ended it: one that had exited by itself just
    // before is collected as such.
    bool end_daemon(int index, const std::string &how, bool kill_it)
    {
        daemon_record &d = daemons[index];
        if (kill_it)
            kill(d.process.pid, SIGKILL);
        d.result = finish_daemon(d.process, 30000);
        d.running = false;
        d.ending = how;
        if (kill_it && d.result.signal != SIGKILL && !d.result.timed_out)
            kill_it = false;
        if (kill_it && d.answered.empty())
            f.killed_unanswered++;
        take_answers(d);
        std::string rest = d.process.out.substr(d.parsed);

        if (!d.result.err.empty())
            faults.push_back("daemon wrote to standard error: " + d.result.err.substr(0, 2000));
        if (d.result.timed_out)
            faults.push_back("daemon " + std::to_string(d.process.pid) +
                             " did not end after its kill");
        if (!kill_it && d.result.signal != 0)
            faults.push_back("daemon ended by signal " + std::to_string(d.result.signal) +
                             "; its last errors: " + last_errors(d.result));

        if (d.in_flight >= 0) {
            request_record &r = requests[d.in_flight];
            if (kill_it) {
                // Killed while exiting: the failure exit's line may have been
                // flushed already. Its fate is taken as unknown all the same.
                r.outcome = fate::unknown;
                r.answer = rest;
                if (!r.answer.empty() && r.answer.back() == '\n')
                    r.answer.pop_back();
            } else if (rest.rfind("action=", 0) == 0 && rest.back() == '\n' &&
                       std::count(rest.begin(), rest.end(), '\n') == 1) {
                // The failure exit: the answer line without its empty line,
                // and the transaction aborted.
                r.answer = rest.substr(0, rest.size() - 1);
                r.outcome = fate::refused;
            } else {
                faults.push_back("daemon ended without answering its request (output '" +
                                 rest + "', status " + std::to_string(d.result.status) + ")");
                r.outcome = fate::unknown;
            }
            d.in_flight = -1;
        } else if (!rest.empty()) {
            faults.push_back("output after the last answer: " + rest);
        }

        bool commit_failed = false, declared_dead = false;
        for (const auto &m : d.result.messages("err")) {
            if (m.rfind("commit failed", 0) == 0)
                commit_failed = true;
            if (m.find("DB_RUNRECOVERY") != std::string::npos ||
                m.find("PANIC") != std::string::npos)
                declared_dead = true;
            f.errors[message_kind(m)]++;
        }
        for (const auto &m : d.result.messages("warning"))
            f.errors["warning: " + message_kind(m)]++;
        if (commit_failed) {
            for (int r : d.answered)
                requests[r].outcome = fate::unknown;
        }
        // Recovery in another process waits for this one no longer than the
        // registry timeout: a commit completing in the instant the recovery
        // began may be undone by it. The process finds its environment dead
        // at its next call, so only its last answer before that is at risk.
        if (declared_dead && !d.answered.empty() &&
            requests[d.answered.back()].outcome == fate::committed) {
            requests[d.answered.back()].outcome = fate::at_risk;
        }
        if (!kill_it) {
            if (d.result.status == 1 && d.result.logged("err", "error: cleaning up")) {
                f.failure_exits++;
                // The cause: the first storage failure the daemon logged.
                std::string cause = "(none logged)";
                for (const auto &m : d.result.messages("err")) {
                    if (m.rfind("error: ", 0) != 0) {
                        cause = message_kind(m);
                        break;
                    }
                }
                f.exit_causes[cause]++;
            } else if (d.result.status == 0) {
                f.orderly_exits++;
            } else if (d.result.signal == 0) {
                faults.push_back("daemon exited with status " +
                                 std::to_string(d.result.status));
            }
        }
        return kill_it;
    }

    void send_request(int slot)
    {
        daemon_record &d = daemons[slots[slot]];
        request_record r;
        r.triplet = static_cast<int>(random() % triplets);
        r.daemon = slots[slot];
        r.sent_us = now_us();
        requests.push_back(r);
        d.in_flight = static_cast<int>(requests.size()) - 1;
        // A daemon that has just gone away fails the write; its end is
        // noticed on its output below.
        write_input(d.process, rcpt_request(client_of(r.triplet), sender_of(r.triplet),
                                            recipient));
    }

    void run_streams()
    {
        if (reg_timeout_us >= 0) {
            FILE *config = fopen(home.file("DB_CONFIG").c_str(), "w");
            fprintf(config, "set_reg_timeout %ld\n", reg_timeout_us);
            fclose(config);
        }
        std::set<long> kill_at;
        std::uniform_int_distribution<long> pick(std::min<long>(processes, total - 1),
                                                 std::max<long>(total - 1, 0));
        for (long tries = 0; (long)kill_at.size() < kills_wanted && tries < 100 * kills_wanted;
             tries++)
            kill_at.insert(pick(random));

        for (int s = 0; s < processes; s++)
            slots.push_back(start_in_slot());
        long sent = 0;
        int victim = -1;
        long long victim_at = 0;
        const long long run_deadline = now_us() + 3600LL * 1000000;

        while (now_us() < run_deadline) {
            for (int s = 0; s < processes; s++) {
                if (sent >= total || daemons[slots[s]].in_flight >= 0 ||
                    !daemons[slots[s]].running)
                    continue;
                send_request(s);
                if (kill_at.count(sent) && victim < 0) {
                    victim = random() % 4 == 0 ? static_cast<int>(random() % processes) : s;
                    // Mostly inside the transaction, sometimes after it.
                    long long spread = random() % 2 ? 500 : 5000;
                    victim_at = now_us() + static_cast<long long>(random() % spread);
                }
                sent++;
            }
            bool busy = victim >= 0;
            for (int s = 0; s < processes; s++)
                busy = busy || daemons[slots[s]].in_flight >= 0;
            if (sent >= total && !busy)
                break;

            long long now = now_us();
            long long wait_us = 50000;
            if (victim >= 0)
                wait_us = std::min(wait_us, std::max(0LL, victim_at - now));
            std::vector<struct pollfd> fds;
            for (int s = 0; s < processes; s++) {
                const daemon_record &d = daemons[slots[s]];
                fds.push_back({d.process.out_fd, POLLIN, 0});
                if (d.in_flight >= 0)
                    wait_us = std::min(
                        wait_us, std::max(0LL, requests[d.in_flight].sent_us + stall_us - now));
            }
            struct timespec timeout = {static_cast<time_t>(wait_us / 1000000),
                                       static_cast<long>(wait_us % 1000000) * 1000};
            ppoll(fds.data(), fds.size(), &timeout, nullptr);

            for (int s = 0; s < processes; s++) {
                daemon_record &d = daemons[slots[s]];
                if (!(fds[s].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[4096];
                ssize_t n = read(d.process.out_fd, buffer, sizeof buffer);
                if (n > 0) {
                    d.process.out.append(buffer, n);
                    take_answers(d);
                } else if (n == 0) {
                    end_daemon(slots[s], "exited", false);
                    slots[s] = start_in_slot();
                }
            }

            now = now_us();
            if (victim >= 0 && now >= victim_at) {
                // One that has answered has joined the environment; one killed
                // before its first answer may not have got that far.
                bool joined = !daemons[slots[victim]].answered.empty();
                if (end_daemon(slots[victim], "killed", true)) {
                    f.kills++;
                    f.kills_in_environment += joined;
                }
                slots[victim] = start_in_slot();
                victim = -1;
            }
            for (int s = 0; s < processes; s++) {
                daemon_record &d = daemons[slots[s]];
                if (d.in_flight >= 0 && now - requests[d.in_flight].sent_us > stall_us) {
                    f.blocked_in[waiting_in(d.process.pid)]++;
                    end_daemon(slots[s], "blocked", true);
                    f.blocked++;
                    slots[s] = start_in_slot();
                }
            }
        }
        if (now_us() >= run_deadline)
            faults.push_back("the run did not finish within its hour");
    }

    // stop_all - end every daemon by the end of its input, waiting on their
    // output pipes; those still there at the deadline are blocked.
    void stop_all()
    {
        for (int s = 0; s < processes; s++)
            close_input(daemons[slots[s]].process);
        std::vector<int> left(slots.begin(), slots.end());
        long long deadline = now_us() + stall_us;
        while (!left.empty() && now_us() < deadline) {
            std::vector<struct pollfd> fds;
            for (int index : left)
                fds.push_back({daemons[index].process.out_fd, POLLIN, 0});
            long long wait_us = std::max(0LL, deadline - now_us());
            struct timespec timeout = {static_cast<time_t>(wait_us / 1000000),
                                       static_cast<long>(wait_us % 1000000) * 1000};
            ppoll(fds.data(), fds.size(), &timeout, nullptr);
            std::vector<int> still;
            for (size_t i = 0; i < left.size(); i++) {
                daemon_record &d = daemons[left[i]];
                bool ended = false;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    char buffer[4096];
                    ssize_t n = read(d.process.out_fd, buffer, sizeof buffer);
                    if (n > 0)
                        d.process.out.append(buffer, n);
                    ended = n == 0;
                }
                if (ended)
                    end_daemon(left[i], "stopped", false);
                else
                    still.push_back(left[i]);
            }
            left = still;
        }
        for (int index : left) {
            f.blocked_in[waiting_in(daemons[index].process.pid)]++;
            end_daemon(index, "blocked at stop", true);
            f.blocked_at_stop++;
        }
    }

    void count_answers()
    {
        for (const auto &r : requests) {
            f.requests++;
            if (r.outcome == fate::unknown)
                f.unknown++;
            if (r.outcome == fate::at_risk)
                f.at_risk++;
            if (r.outcome == fate::refused)
                f.cut_short++;
            if (r.outcome == fate::committed || r.outcome == fate::at_risk)
                f.answered++;
            if (r.answer.rfind("action=WARN ", 0) == 0) {
                f.warn_answers++;
                f.warn_texts[r.answer.substr(12)]++;
            } else if (r.outcome == fate::committed || r.outcome == fate::at_risk) {
                if (r.answer.rfind("action=defer ", 0) == 0)
                    f.defers++;
                else if (r.answer.rfind("action=pass ", 0) == 0)
                    f.passes++;
                else if (r.answer == "action=DUNNO")
                    f.dunnos++;
            }
        }
    }

    // legal - the answers this daemon may give under the run's settings.
    bool legal(const std::string &answer, long long run_seconds)
    {
        auto number_after = [&](const std::string &prefix, long long *n) {
            if (answer.rfind(prefix, 0) != 0 || answer.size() == prefix.size())
                return false;
            std::string digits = answer.substr(prefix.size());
            if (digits.find_first_not_of("0123456789") != std::string::npos)
                return false;
            *n = std::stoll(digits);
            return true;
        };
        long long n;
        if (answer == "action=DUNNO")
            return true;
        if (number_after("action=defer ", &n))
            return n >= 1 && n <= greylist_delay;
        if (number_after("action=pass ", &n))
            return n >= greylist_delay && n <= run_seconds + 2;
        if (answer.rfind("action=WARN ", 0) == 0)
            return std::find(legal_warnings.begin(), legal_warnings.end(),
                             answer.substr(12)) != legal_warnings.end();
        return false;
    }

    void report()
    {
        std::ostringstream out;
        out << "torture figures (seed " << seed << ", " << processes << " processes, "
            << triplets << " triplets, registry timeout "
            << (reg_timeout_us < 0 ? std::string("the daemon's own")
                                   : std::to_string(reg_timeout_us) + " us")
            << ")\n"
            << "  requests sent                 " << f.requests << "\n"
            << "  answered and committed        " << f.answered << " (defer " << f.defers
            << ", pass " << f.passes << ", DUNNO " << f.dunnos << ")\n"
            << "  WARN answers                  " << f.warn_answers << "\n";
        for (const auto &[text, n] : f.warn_texts)
            out << "    " << n << " x " << text << "\n";
        out << "  answers cut short (aborted)   " << f.cut_short << "\n"
            << "  requests of unknown fate      " << f.unknown << "\n"
            << "  answers at risk (see above)   " << f.at_risk << "\n"
            << "  committed answers missing     " << f.missing << "\n"
            << "  daemons started               " << f.started << "\n"
            << "  SIGKILLs at random moments    " << f.kills << " (" << f.kills_in_environment
            << " of daemons that had answered)\n"
            << "  killed before a first answer  " << f.killed_unanswered
            << " (blocked ones too)\n"
            << "  failure exits (status 1)      " << f.failure_exits << "\n";
        for (const auto &[cause, n] : f.exit_causes)
            out << "    " << n << " x " << cause << "\n";
        out << "  orderly exits                 " << f.orderly_exits << "\n"
            << "  left blocked, killed by PID   " << f.blocked << " while serving, "
            << f.blocked_at_stop << " at the stop\n";
        for (const auto &[where, n] : f.blocked_in)
            out << "    " << n << " x waiting in " << where << "\n";
        out << "  longest wait for an answer    " << f.longest_answer_us / 1000 << " ms\n"
            << "  errors logged, by kind\n";
        for (const auto &[kind, n] : f.errors)
            out << "    " << n << " x " << kind << "\n";
        printf("%s", out.str().c_str());
        RecordProperty("seed", std::to_string(seed));
        RecordProperty("requests", std::to_string(f.requests));
        RecordProperty("answered", std::to_string(f.answered));
        RecordProperty("warn_answers", std::to_string(f.warn_answers));
        RecordProperty("kills", std::to_string(f.kills));
        RecordProperty("committed_missing", std::to_string(f.missing));
        RecordProperty("failure_exits", std::to_string(f.failure_exits));
        RecordProperty("blocked", std::to_string(f.blocked + f.blocked_at_stop));
        RecordProperty("longest_answer_ms", std::to_string(f.longest_answer_us / 1000));
    }
};

TEST_F(Torture, KilledDaemonsLoseNothingCommitted)
{
    SCOPED_TRACE("seed " + std::to_string(seed) + " (MURVANE_TORTURE_SEED to repeat)");
    time_t started = time(nullptr);
    run_streams();
    stop_all();
    time_t finished = time(nullptr);
    count_answers();

    // The environment opens cleanly, recovering where a killed daemon left it.
    daemon_result dump = run_daemon({"-h", home.path, "--dump-triplets"});
    // The library's verifier on the file, now that no process has it open.
    DB *verifier;
    ASSERT_EQ(0, db_create(&verifier, nullptr, 0));
    int verified = verifier->verify(verifier, home.file("triplets-1.db").c_str(), nullptr,
                                    nullptr, 0);
    record_list records = read_records(home.path);

    // What was answered for each triplet, by what became of it.
    struct tally {
        long defers = 0, passes = 0;            // committed
        long risky_defers = 0, risky_passes = 0; // at risk
        long unknown = 0;
        long long first_pass_answered_us = -1;  // of a committed pass
    };
    std::vector<tally> per(triplets);
    for (const auto &r : requests) {
        tally &t = per[r.triplet];
        bool defer = r.answer.rfind("action=defer ", 0) == 0;
        bool pass = r.answer.rfind("action=pass ", 0) == 0 || r.answer == "action=DUNNO";
        if (r.outcome == fate::unknown) {
            t.unknown++;
        } else if (r.outcome == fate::at_risk) {
            t.risky_defers += defer;
            t.risky_passes += pass;
        } else if (r.outcome == fate::committed) {
            t.defers += defer;
            t.passes += pass;
            if (pass && (t.first_pass_answered_us < 0 || r.answered_us < t.first_pass_answered_us))
                t.first_pass_answered_us = r.answered_us;
        }
    }
    std::map<std::string, int> pool;
    for (int t = 0; t < triplets; t++)
        pool[ipv4_key(client_of(t), sender_of(t), recipient)] = t;
    std::vector<const std::string *> stored(triplets, nullptr);
    for (const auto &[key, value] : records) {
        auto found = pool.find(key);
        if (found != pool.end())
            stored[found->second] = &value;
    }
    // Committed answers (at risk or not) that the database does not hold.
    for (int t = 0; t < triplets; t++) {
        record_fields v{};
        if (stored[t] != nullptr && stored[t]->size() == 32)
            v = decode_record(*stored[t]);
        f.missing += std::max<long>(0, per[t].defers + per[t].risky_defers -
                                          static_cast<long>(v.block_count));
        f.missing += std::max<long>(0, per[t].passes + per[t].risky_passes -
                                          static_cast<long>(v.pass_count));
    }
    report();

    for (const auto &fault : faults)
        ADD_FAILURE() << fault;
    for (const auto &r : requests) {
        if (!r.answer.empty()) {
            EXPECT_TRUE(legal(r.answer, finished - started + 1))
                << "illegal answer '" << r.answer << "'";
        }
    }
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ(0, dump.signal);
    EXPECT_EQ("", dump.err);
    std::vector<std::string> dump_errors = dump.messages("err");
    bool after_recovery = f.killed_unanswered > 0 &&
                          std::find(after_killed_recovery.begin(), after_killed_recovery.end(),
                                    dump_errors) != after_killed_recovery.end();
    EXPECT_TRUE(dump_errors.empty() || after_recovery)
        << "the listing logged " << dump_errors.size() << " errors, the first: "
        << dump_errors[0] << " (daemons killed before a first answer: "
        << f.killed_unanswered << ")";
    if (!dump_errors.empty())
        printf("  the listing logged            %s%s\n", dump_errors[0].c_str(),
               dump_errors.size() > 1 ? " (twice)" : "");
    EXPECT_EQ(0, verified) << db_strerror(verified);
    EXPECT_EQ(records.size(),
              static_cast<size_t>(std::count(dump.out.begin(), dump.out.end(), '\n')));

    // Every record against the answers given for its triplet: nothing
    // committed is missing, nothing is counted that was not asked for.
    for (const auto &[key, value] : records) {
        auto found = pool.find(key);
        ASSERT_NE(pool.end(), found) << "stored key not in the pool: " << hex(key);
        int t = found->second;
        ASSERT_EQ(32u, value.size()) << "triplet " << t;
        record_fields v = decode_record(value);
        const tally &n = per[t];
        SCOPED_TRACE("triplet " + std::to_string(t) + ": committed defers " +
                     std::to_string(n.defers) + " and passes " + std::to_string(n.passes) +
                     ", at risk " + std::to_string(n.risky_defers) + " and " +
                     std::to_string(n.risky_passes) + ", unknown " + std::to_string(n.unknown));
        EXPECT_LE(v.create_time, v.access_time);
        EXPECT_GE(v.create_time, started - 1);
        EXPECT_LE(v.access_time, finished + 1);
        EXPECT_GE(v.block_count, static_cast<uint64_t>(n.defers));
        EXPECT_LE(v.block_count, static_cast<uint64_t>(n.defers + n.risky_defers + n.unknown));
        EXPECT_GE(v.pass_count, static_cast<uint64_t>(n.passes));
        EXPECT_LE(v.pass_count, static_cast<uint64_t>(n.passes + n.risky_passes + n.unknown));
    }
    for (int t = 0; t < triplets; t++) {
        if (per[t].defers + per[t].passes > 0) {
            EXPECT_NE(nullptr, stored[t]) << "committed triplet " << t << " is gone";
        }
    }

    // A committed pass is seen by every request sent after its answer.
    for (const auto &r : requests) {
        long long first = per[r.triplet].first_pass_answered_us;
        if (first < 0 || r.sent_us <= first || r.answer.empty() ||
            r.answer.rfind("action=WARN ", 0) == 0)
            continue;
        EXPECT_EQ("action=DUNNO", r.answer)
            << "triplet " << r.triplet << ", sent " << (r.sent_us - first) / 1000
            << " ms after its pass was answered";
    }
}

}  // namespace
