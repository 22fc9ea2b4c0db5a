// SPDX-License-Identifier: BSD-2-Clause
// lifecycle.cc - main: start-up, the policy loop, the stop sequence.
//
// The loop answers every request it reads with exactly one response, written
// in full and flushed before the next read. A failed decision takes the
// failure exit: cleanup and status 1, without an expiry pass.
#include "daemon/lifecycle.h"

#include <db.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "common/watchdog.h"
#include "daemon/command_line.h"
#include "daemon/dump.h"
#include "daemon/server.h"
#include "daemon/stats.h"
#include "dns/resolver.h"
#include "greylist/decision.h"
#include "greylist/decision_log.h"
#include "greylist/expiry.h"
#include "greylist/replies.h"
#include "greylist/selective.h"
#include "greylist/spf.h"
#include "greylist/triplet_key.h"
#include "policy/action.h"
#include "policy/request.h"
#include "storage/environment.h"

const char *program_name = "murvane";
void check_db_version()
{
    int major, minor, patch;
    const char *running = db_version(&major, &minor, &patch);

    if (major != DB_VERSION_MAJOR || minor != DB_VERSION_MINOR) {
        log_msg(LOG_ERR,
                "This daemon was compiled with " DB_VERSION_STRING
                " (%d.%d.%d) definitions but it is using %s (%d.%d.%d).  This will "
                "not work!  Check that the version of the developpement files for "
                "Berkeley DB match the version that used.",
                DB_VERSION_MAJOR, DB_VERSION_MINOR, DB_VERSION_PATCH, running,
                major, minor, patch);
        fatal_abort();
    }
    if (patch == DB_VERSION_PATCH) {
        if (settings.debug)
            log_msg(LOG_DEBUG,
                    "This daemon was compiled with " DB_VERSION_STRING
                    " (%d.%d.%d) definitions.",
                    DB_VERSION_MAJOR, DB_VERSION_MINOR, DB_VERSION_PATCH);
    } else if (settings.debug || settings.verbose) {
        log_msg(LOG_INFO,
                "Compiled with " DB_VERSION_STRING
                " (%d.%d.%d) definitions.  Running with %s (%d.%d.%d).",
                DB_VERSION_MAJOR, DB_VERSION_MINOR, DB_VERSION_PATCH, running,
                DB_VERSION_MAJOR, DB_VERSION_MINOR, patch);
    }
}

namespace {

// release_all - the last step of every run, on the orderly stop and on the
// failure exit alike: the key buffer, then storage, then the request buffer.
void release_all()
{
    free_dbkey();
    cleanup();
    free_request_buffer();
    if (settings.debug)
        log_msg(LOG_DEBUG, "Cleaned");
}

void install_stop_handler()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read blocked on the mail server must end at a stop
    // signal. SA_RESETHAND: a second signal of a kind ends the process.
    action.sa_flags = SA_RESETHAND;
    for (int s : stop_signals) {
        if (sigaction(s, &action, nullptr) != 0) {
            perror("sigaction failed");
            log_signal_notices();
            exit(1);
        }
    }
}

// block_stop_signals - no stop signal is handled from here to the exit. The
// notices are written for the last time next; a signal the handler took after
// that would set the exit status and never be logged. One that comes now stays
// pending, unhandled, and ends with the process.
void block_stop_signals()
{
    sigset_t stops;
    stop_signal_set(&stops);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
}

// value_is - the attribute value (ended by its newline) is exactly word.
bool value_is(const char *value, const char *word)
{
    size_t i = 0;
    for (; word[i] != '\0'; i++)
        if (value[i] != word[i])  // a newline never matches a word's letter
            return false;
    return value[i] == '\n';
}

// ignore_request - the debug line of a request that is not greylisted. The
// values are printed without their newlines, which are put back at once.
void ignore_request(char *protocol_name, char *protocol_state)
{
    if (!settings.debug)
        return;
    char *name_end = protocol_name ? strchr(protocol_name, '\n') : nullptr;
    char *state_end = protocol_state ? strchr(protocol_state, '\n') : nullptr;
    if (name_end)
        *name_end = '\0';
    if (state_end)
        *state_end = '\0';
    log_msg(LOG_DEBUG, "Ignoring protocol %s state %s",
            protocol_name ? protocol_name : "(not defined)",
            protocol_state ? protocol_state : "(not defined)");
    if (name_end)
        *name_end = '\n';
    if (state_end)
        *state_end = '\n';
}

}  // namespace

int answer_request()
{
    char *name = policy_attribute("protocol_name");
    char *state = name ? policy_attribute("protocol_state") : nullptr;
    char *client = nullptr, *sender = nullptr, *recipient = nullptr;

    dns_start_request();  // all DNS work of the request shares one deadline
    if (name && state && (value_is(name, "SMTP") || value_is(name, "ESMTP")) &&
        value_is(state, "RCPT")) {
        client = policy_attribute("client_address");
        sender = policy_attribute("sender");
        recipient = policy_attribute("recipient");
    }
    if (!client || !sender || !recipient) {
        ignore_request(name, state);
        fputs("action=DUNNO\n", answer_stream());
        return 0;
    }
    // With --replies an authenticated user's own mail is never greylisted:
    // its reply pair is learned, and it is answered here.
    int result;
    if (settings.replies != 0 && answer_user_mail(sender, recipient, &result))
        return result;
    spf_result spf;
    const char *domain = spf_key_domain(client, sender, &spf);
    if (build_triplet_key(client, sender, recipient, domain) != 0) {
        // A key too long for the database to hold: such a triplet can never
        // be stored, so it is let through unchanged rather than deferred.
        fputs("action=DUNNO\n", answer_stream());
        return 0;
    }
    // With --selective, a client that shows no sign of a spam source is let
    // through before any database work: nothing is stored for it.
    if (!greylist_client(client, spf)) {
        log_decision(outcome::not_suspicious, &dbkey, 0);
        fputs("action=DUNNO\n", answer_stream());
        return 0;
    }
    return process_smtp_rcpt(spf);
}

int daemon_main(int argc, char **argv)
{
    if (argc > 0 && argv[0] != nullptr) {
        const char *slash = strrchr(argv[0], '/');
        program_name = slash ? slash + 1 : argv[0];
    }
    log_pending_hook = log_signal_notices;
    openlog(program_name, LOG_PID, LOG_MAIL);
    parse_command_line(argc, argv);
    install_stop_handler();
    if (settings.verbose)
        log_msg(LOG_NOTICE, "Policy daemon");
    check_db_version();
    bind_record_buffer();

    if (settings.listen != nullptr) {
        int status = run_server();
        block_stop_signals();
        log_signal_notices();
        closelog();
        return status;
    }
    if (settings.dump_triplets) {
        print_triplets();
    } else if (settings.dump_clients) {
        print_clients();
    } else if (settings.stats) {
        if (print_stats() != 0)
            exit_status = 1;
    } else if (settings.dump_replies) {
        print_replies();
    } else {
        int ret;
        if ((ret = start_watchdog(request_time_limit)) != 0)
            log_msg(LOG_ERR, "watchdog: pthread_create: %s, requests are not bounded",
                    strerror(ret));
        while (!stop_requested()) {
            if (read_policy_request(0) == nullptr)
                break;
            // The bound runs from the request's screening to its flushed
            // answer, and on the failure exit through the cleanup: a daemon
            // stuck in either would hold the mail server's request forever.
            watchdog_arm();
            if (answer_request() != 0) {
                log_msg(LOG_ERR, "error: cleaning up");
                release_all();
                watchdog_disarm();
                log_msg(LOG_ERR, "error: exiting after cleanup");
                block_stop_signals();
                log_signal_notices();
                return 1;
            }
            putchar('\n');
            fflush(stdout);
            watchdog_disarm();
        }
    }

    // The stop sequence is bounded like a request: after a daemon was killed
    // the expiry pass or the checkpoint can wait forever on what it held, and
    // a daemon stuck there would live on until the mail server's time limit.
    // The expiry pass renews the bound after each of its batches.
    watchdog_arm(bounded_step::stop);
    // A statistics run only reads: it is run from a timer, often by a user
    // other than the daemons', and its numbers must not change the home.
    if (!stop_requested() && db != nullptr && expiry_enabled && !settings.stats)
        run_expiry();
    release_all();
    watchdog_disarm();
    if (settings.verbose)
        log_msg(LOG_NOTICE, "daemon stopped");
    block_stop_signals();
    log_signal_notices();
    closelog();
    return exit_status;
}
