// SPDX-License-Identifier: BSD-2-Clause
// decision_log.cc - the line of one decision, with its values made safe.
//
// The request's values reach syslog only through append_value(), which
// escapes and bounds them; the line's buffer is sized for nine fields at
// their bound, so no line is ever cut short of its last field.
#include "greylist/decision_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "policy/request.h"
#include "storage/stored_triplet.h"

namespace {

constexpr size_t decision_line_size = 4096;

// A field at its bound: name, '=', the value's limit, the cut mark, a blank.
static_assert(decision_line_size > 9 * (32 + decision_value_limit + 4 + 1));

struct line_writer {
    char *at;
    char *end;  // one before the buffer's end: room for the NUL
};

void append_text(line_writer *line, const char *text)
{
    size_t n = strlen(text);
    if (n > static_cast<size_t>(line->end - line->at))
        n = line->end - line->at;
    memcpy(line->at, text, n);
    line->at += n;
}

// append_value - the bytes [value, value + size) escaped, cut past the limit.
void append_value(line_writer *line, const char *value, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    size_t written = 0;
    for (size_t i = 0; i < size; i++) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        bool plain = c > ' ' && c < 0x7f && c != '\\';
        size_t width = plain ? 1 : 4;
        if (written + width > decision_value_limit) {
            append_text(line, "\\...");
            return;
        }
        if (line->end - line->at < static_cast<ptrdiff_t>(width))
            return;  // cannot happen: the buffer holds every field at its bound
        if (plain) {
            *line->at++ = static_cast<char>(c);
        } else {
            *line->at++ = '\\';
            *line->at++ = 'x';
            *line->at++ = hex[c >> 4];
            *line->at++ = hex[c & 15];
        }
        written += width;
    }
}

// append_attribute - the request's value of `name` (ended by its newline),
// or "-" when the request has none.
void append_attribute(line_writer *line, const char *field, const char *name)
{
    append_text(line, field);
    const char *value = policy_attribute(name);
    if (value == nullptr) {
        append_text(line, "-");
        return;
    }
    const char *newline = strchr(value, '\n');
    append_value(line, value, newline ? static_cast<size_t>(newline - value) : strlen(value));
}

// append_key - the key's address part: address, prefix, or spf:domain.
void append_key(line_writer *line, const DBT *key)
{
    append_text(line, " key=");
    if (key == nullptr || key->size == 0 ||
        triplet_address_length(key->data, key->size) == 0) {
        append_text(line, "-");
        return;
    }
    const unsigned char *bytes = static_cast<const unsigned char *>(key->data);
    if (bytes[0] != tag_ipv4 && bytes[0] != tag_ipv6 && bytes[0] != tag_text &&
        bytes[0] != tag_domain) {
        append_text(line, "-");
        return;
    }
    const char *text = triplet_ip_text(bytes);
    append_value(line, text, strlen(text));
    uint32_t bits = bytes[0] == tag_ipv4 ? settings.network_prefix
                    : bytes[0] == tag_ipv6 ? settings.network6_prefix : 0;
    if ((bytes[0] == tag_ipv4 && bits < 32) || (bytes[0] == tag_ipv6 && bits < 128)) {
        char prefix[8];
        snprintf(prefix, sizeof prefix, "/%" PRIu32, bits);
        append_text(line, prefix);
    }
}

void append_seconds(line_writer *line, const char *field, bool present, uint64_t seconds)
{
    append_text(line, field);
    if (!present) {
        append_text(line, "-");
        return;
    }
    char number[24];
    snprintf(number, sizeof number, "%" PRIu64, seconds);
    append_text(line, number);
}

// format_decision - the line, NUL-ended, into buffer (decision_line_size
// bytes). Returns its length.
size_t format_decision(char *buffer, outcome decided, const DBT *key, uint64_t seconds)
{
    line_writer line{buffer, buffer + decision_line_size - 1};
    append_text(&line, "decision=");
    append_text(&line, outcome_name(decided));
    append_text(&line, settings.learn ? " mode=learn" : " mode=enforce");
    append_attribute(&line, " client_address=", "client_address");
    append_attribute(&line, " client_name=", "client_name");
    append_attribute(&line, " sender=", "sender");
    append_attribute(&line, " recipient=", "recipient");
    append_key(&line, key);
    append_seconds(&line, " left=", outcome_defers(decided), seconds);
    append_seconds(&line, " waited=", decided == outcome::first_pass, seconds);
    *line.at = '\0';
    return static_cast<size_t>(line.at - buffer);
}

}  // namespace

void log_decision(outcome decided, const DBT *key, uint64_t seconds)
{
    if (!settings.log_decisions)
        return;
    thread_local char buffer[decision_line_size];
    format_decision(buffer, decided, key, seconds);
    log_msg(LOG_INFO, "%s", buffer);
}
