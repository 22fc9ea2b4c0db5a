// SPDX-License-Identifier: BSD-2-Clause
// machine.cc - the report's first section: the machine the figures come
// from.
//
// Besides the processor, memory, kernel and package versions it measures two
// costs that every program here pays per request and that differ most from
// one machine to the next: a trivial system call (ten times dearer on some
// virtual machines than on bare metal) and a disk flush of the directory the
// databases are on, which every commit waits for.
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "peer.h"
#include "processes.h"
#include "sections.h"
#include "suite.h"
#include "workload.h"

namespace fs = std::filesystem;

namespace {

std::string first_line_with(const std::string &path, const std::string &prefix)
{
    for (const auto &line : read_lines(path))
        if (line.rfind(prefix, 0) == 0)
            return line;
    return "";
}

std::string trimmed_value(const std::string &line)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return line;
    size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
}

std::string package_version(const std::string &name)
{
    int status;
    std::string v = run_program({"dpkg-query", "-W", "-f=${Version}", name}, 10, &status);
    return status == 0 && !v.empty() ? v : "(not installed)";
}

std::string filesystem_of(const std::string &path)
{
    std::string best, type;
    std::string real = fs::weakly_canonical(path).string();
    for (const auto &line : read_lines("/proc/mounts")) {
        std::istringstream in(line);
        std::string device, mount, kind;
        in >> device >> mount >> kind;
        if (real.rfind(mount, 0) == 0 && mount.size() >= best.size()) {
            best = mount;
            type = kind + " on " + device;
        }
    }
    return type.empty() ? "?" : type;
}

// syscall_cost_us - what one trivial system call costs here: on a virtual
// machine it can be ten times what it is on bare metal, and every call a
// program makes per request is paid at that rate.
double syscall_cost_us()
{
    constexpr int count = 200000;
    uint64_t t0 = now_ns();
    for (int i = 0; i < count; i++)
        syscall(SYS_getppid);
    return static_cast<double>(now_ns() - t0) / 1e3 / count;
}

// shared_with_peers - a row of the machine table for the peer's processes
// that were running before the suite started: never stopped, they take
// their share of the machine while every figure is measured.
std::string shared_with_peers()
{
    std::vector<pid_t> pids = running_peers();
    if (pids.empty())
        return "";
    std::string list;
    for (pid_t pid : pids)
        list += (list.empty() ? "" : ", ") + std::to_string(pid);
    progress("postgrey already runs here (pid %s): left running, it shares the machine",
             list.c_str());
    return "| postgrey not started by the bench | running (pid " + list +
           "), left running: it shared the machine with every figure below |\n";
}

}  // namespace

std::string load_average()
{
    auto lines = read_lines("/proc/loadavg");
    if (lines.empty())
        return "?";
    std::istringstream in(lines[0]);
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

void machine_section()
{
    struct utsname u;
    uname(&u);
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
    std::string mem = trimmed_value(first_line_with("/proc/meminfo", "MemTotal"));
    report << "## Machine\n\n"
           << "| | |\n|---|---|\n"
           << "| date | " << date << " |\n"
           << "| processor | " << trimmed_value(first_line_with("/proc/cpuinfo", "model name"))
           << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores |\n"
           << "| memory | " << mem << " |\n"
           << "| kernel | " << u.sysname << " " << u.release << " " << u.machine << " |\n"
           << "| databases on | " << filesystem_of(paths.work) << " |\n"
           << "| murvane | " << MURVANE_VERSION << ", build type " << MURVANE_BUILD_TYPE
           << " |\n"
           << "| Berkeley DB | libdb5.3 " << package_version("libdb5.3") << " |\n"
           << "| peer | postgrey " << package_version("postgrey") << " |\n"
           << shared_with_peers()
           << "| one system call (getppid) | " << number(syscall_cost_us(), 2) << " µs |\n"
           << "| disk flush (512-byte write and fdatasync, median of 200) | "
           << number(flush_latency_us(200)) << " µs |\n"
           << "| load average at start | " << load_average() << " |\n"
           << "| mode | " << (cfg.smoke ? "smoke (tiny sizes, figures not judged)" : "full")
           << " |\n\n";
}
