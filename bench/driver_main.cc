// SPDX-License-Identifier: BSD-2-Clause
// driver_main.cc - the load driver on the command line.
//
//   bench_driver [options] -- DAEMON [ARGS...]    a daemon per connection
//   bench_driver [options] --tcp PORT             a server on 127.0.0.1:PORT
//   bench_driver [options] --unix PATH            a server on a Unix socket
//
// options: --connections K, --requests N, --seconds T, --warmup W,
//   --new SPACE | --known SPACE COUNT, --clients N (the triplets' clients:
//   N addresses shared by every space; default spread), --suspicious (the clients
//   named as home connections, workload.h), --server-pid PID (a server: whose CPU
//   and memory count; repeatable), --stop-with-signal, --env NAME=VALUE
//   (repeatable; added to the daemons' bare environment), --probe-after S,
//   --from-user (each request the authenticated local user's mail to the
//   triplet's sender: a reply to it is the triplet itself).
// It prints one line of name=value figures.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver.h"

namespace {

[[noreturn]] void usage()
{
    fputs("usage: bench_driver [--connections K] [--requests N] [--seconds T] "
          "[--warmup W]\n"
          "         (--new SPACE | --known SPACE COUNT) [--clients N] [--suspicious]\n"
          "         [--stop-with-signal] [--env NAME=VALUE]... [--probe-after S] [--from-user]\n"
          "         ((--tcp PORT | --unix PATH) [--server-pid PID]... | -- DAEMON [ARGS...])\n",
          stderr);
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    target_spec target;
    stream_spec stream;
    load_spec load;
    target.env = bare_environment();
    bool have_stream = false;
    int i = 1;
    for (; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--") {
            i++;
            break;
        }
        if (a == "--connections")
            load.connections = atoi(next());
        else if (a == "--requests")
            load.requests = strtoull(next(), nullptr, 10);
        else if (a == "--seconds")
            load.seconds = atof(next());
        else if (a == "--warmup")
            load.warmup = atoi(next());
        else if (a == "--probe-after")
            load.probe_after = atof(next());
        else if (a == "--new") {
            stream.fresh = true;
            stream.space = next();
            have_stream = true;
        } else if (a == "--known") {
            stream.fresh = false;
            stream.space = next();
            stream.known = strtoull(next(), nullptr, 10);
            have_stream = true;
        } else if (a == "--clients")
            stream.clients = strtoull(next(), nullptr, 10);
        else if (a == "--suspicious")
            stream.suspicious = true;
        else if (a == "--tcp")
            target.port = atoi(next());
        else if (a == "--unix")
            target.unix_path = next();
        else if (a == "--server-pid")
            target.server_pids.push_back(atoi(next()));
        else if (a == "--from-user")
            stream.from_user = true;
        else if (a == "--stop-with-signal")
            target.stop_with_signal = true;
        else if (a == "--env")
            target.env.push_back(next());
        else
            usage();
    }
    for (; i < argc; i++)
        target.argv.push_back(argv[i]);
    int targets = (target.argv.empty() ? 0 : 1) + (target.port != 0 ? 1 : 0) +
                  (target.unix_path.empty() ? 0 : 1);
    if (!have_stream || load.connections < 1 || load.connections > 256 || targets != 1 ||
        (!stream.fresh && stream.known == 0))
        usage();

    signal(SIGPIPE, SIG_IGN);
    run_result r = drive(target, stream, load);
    if (!r.ok) {
        fprintf(stderr, "bench_driver: %s\n", r.error.c_str());
        return 1;
    }
    printf("requests=%llu seconds=%.3f rps=%.1f p50_us=%.1f p99_us=%.1f max_us=%.1f "
           "cpu_us=%.2f exits=%llu unanswered=%llu vm_hwm_kb=%ld max_rss_kb=%ld answers=",
           static_cast<unsigned long long>(r.requests), r.seconds, r.rps, r.latency.p50_us,
           r.latency.p99_us, r.latency.max_us, r.cpu_us,
           static_cast<unsigned long long>(r.exits),
           static_cast<unsigned long long>(r.unanswered), r.vm_hwm_kb, r.max_rss_kb);
    const char *sep = "";
    for (const auto &[kind, n] : r.answers) {
        printf("%s%s:%llu", sep, kind.c_str(), static_cast<unsigned long long>(n));
        sep = ",";
    }
    if (r.probe_exit_s >= 0)
        printf(" probe_exit_s=%.3f probe_status=%d before_p99_us=%.1f during_n=%llu "
               "during_p50_us=%.1f during_p99_us=%.1f during_max_us=%.1f",
               r.probe_exit_s, r.probe_status, r.before_probe.p99_us,
               static_cast<unsigned long long>(r.during_probe.count), r.during_probe.p50_us,
               r.during_probe.p99_us, r.during_probe.max_us);
    putchar('\n');
    return 0;
}
