// SPDX-License-Identifier: BSD-2-Clause
// action.cc - the answer templates (reject_action, greylisted_action).
//
// A bad directive is no failure for the caller: the answer always goes out,
// with the bad directives left out. Both warnings name reject_action,
// whichever template is being expanded; admins search their logs for it.
#include "policy/action.h"

#include <cstdio>
#include <cstring>

#include "common/log.h"

namespace {

thread_local FILE *thread_answers;  // null: standard output

}  // namespace

FILE *answer_stream()
{
    return thread_answers != nullptr ? thread_answers : stdout;
}

void set_answer_stream(FILE *stream)
{
    thread_answers = stream;
}

void print_action(const char *template_text, uint64_t n)
{
    FILE *out = answer_stream();
    const char *plural = n == 1 ? "" : "s";
    const char *rest = template_text;

    while (*rest != '\0') {
        const char *percent = strchr(rest, '%');
        if (percent == nullptr) {
            fputs(rest, out);
            return;
        }
        fwrite(rest, 1, percent - rest, out);
        switch (percent[1]) {
        case 'd':
            fprintf(out, "%lu", static_cast<unsigned long>(n));
            break;
        case 'p':
            fputs(plural, out);
            break;
        case 's':
            fputc(' ', out);
            break;
        case '%':
            fputc('%', out);
            break;
        case '\0':
            log_msg(LOG_WARNING, "Invalid reject_action sequence %%");
            return;
        default:
            log_msg(LOG_WARNING, "Invalid reject_action sequence %%%c", percent[1]);
            break;
        }
        rest = percent + 2;
    }
}
