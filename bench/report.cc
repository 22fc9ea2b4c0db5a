// SPDX-License-Identifier: BSD-2-Clause
// report.cc - the report writer: the Markdown report that the sections fill
// in, the targets they measure against, and the text of their figures.
//
// Each section appends its own heading, paragraph and tables to `report` as
// it finishes; write_report() puts the Targets table after the machine
// section, so that a reader sees first what was met, and writes the whole to
// standard output and to OUT/report.md. A figure that was not measured (NaN)
// prints as "-", and a target with no figure as "not measured", never as met.
#include "suite.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>

#include "sections.h"
#include "workload.h"

std::ostringstream report;
std::vector<target_line> targets;
int failures = 0;

void progress(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("bench: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void failed(const std::string &what, const std::string &why)
{
    failures++;
    progress("FAILED: %s: %s", what.c_str(), why.c_str());
}

std::string fmt(const char *format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return text;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double min_of(const std::vector<double> &v)
{
    return v.empty() ? NAN : *std::min_element(v.begin(), v.end());
}

double max_of(const std::vector<double> &v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

std::string number(double x, int decimals)
{
    if (std::isnan(x))
        return "-";
    return fmt("%.*f", decimals, x);
}

std::string ratio_text(const std::vector<double> &ratios)
{
    if (ratios.empty())
        return "-";
    if (ratios.size() == 1)
        return number(median(ratios), 2);
    return number(median(ratios), 2) + " (" + number(min_of(ratios), 2) + "-" +
           number(max_of(ratios), 2) + ")";
}

std::string answers_text(const std::map<std::string, uint64_t> &answers)
{
    std::string text;
    for (const auto &[kind, n] : answers)
        text += (text.empty() ? "" : ", ") + kind + " " + std::to_string(n);
    return text.empty() ? "-" : text;
}

void add_target(const std::string &name, const std::vector<double> &values, double bound,
                bool at_least)
{
    double m = median(values);
    bool met = !std::isnan(m) && (at_least ? m >= bound : m <= bound);
    targets.push_back({name, ratio_text(values), met, !values.empty()});
}

namespace {

void targets_section()
{
    report << "## Targets\n\n"
           << "Each a ratio or a figure from this run (median over rounds, min-max in "
              "brackets)."
           << (cfg.smoke ? " Smoke run: nothing is judged." : "") << "\n\n"
           << "| target | measured | met |\n|---|---|---|\n";
    for (const auto &t : targets)
        report << "| " << t.name << " | " << t.measured << " | "
               << (cfg.smoke ? "(smoke)" : !t.judged ? "not measured" : t.met ? "yes" : "**no**")
               << " |\n";
    report << "\n";
}

}  // namespace

void write_report(uint64_t start_ns)
{
    std::string sections = report.str();
    report.str("");
    targets_section();
    std::string target_text = report.str();
    // The targets come first, after the machine.
    size_t first_section = sections.find("## 1.");
    std::string text = first_section == std::string::npos
                           ? sections + target_text
                           : sections.substr(0, first_section) + target_text +
                                 sections.substr(first_section);
    text += fmt("Whole run: %.0f s; load average at the end: %s.\n",
                static_cast<double>(now_ns() - start_ns) / 1e9, load_average().c_str());
    fputs(text.c_str(), stdout);
    std::ofstream(paths.out + "/report.md") << text;
}
