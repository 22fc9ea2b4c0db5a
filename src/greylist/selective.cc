// SPDX-License-Identifier: BSD-2-Clause
// selective.cc - the signs of a suspicious client, for --selective.
//
// The signs come from what the mail server found in its own DNS
// (client_name, reverse_client_name) and what the client said (helo_name),
// so no sign here asks DNS; the SPF outcome is the one the request's key
// already needed, and the blocklists are asked last, only about a client
// that shows no other sign: its answer would change nothing for the others,
// and the lists count every query against their free use.
//
// The name tests work on a lower-case copy of at most 253 bytes; anything
// else is no host name, and counts as a sign.
#include "greylist/selective.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "greylist/dnsbl.h"
#include "policy/request.h"

const char *const access_network_words[] = {
    "adsl", "broadband", "cable", "catv", "client", "cpe", "cust", "customer",
    "dhcp", "dial", "dialin", "dialup", "dip", "dsl", "dyn", "dynamic",
    "dynamicip", "dynip", "ftth", "hsd", "mobile", "nat", "pool", "ppp",
    "pppoa", "pppoe", "residential", "sdsl", "vdsl", "wifi", "wireless", "wlan",
    "xdsl", nullptr,
};

namespace {

constexpr size_t max_name = 253;

// A run of numbers read from a name: at most one per byte.
struct number_run {
    int value[max_name + 1];  // 0 to 999, or -1 for a number that is no octet
    size_t count;
};

// lower_host_name - `name` as a lower-case host name without its final dot,
// into out; false when it is none.
bool lower_host_name(const char *name, char out[max_name + 1])
{
    size_t n = strlen(name);
    if (n > 0 && name[n - 1] == '.')
        n--;
    if (n == 0 || n > max_name)
        return false;
    for (size_t i = 0; i < n; i++) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (!(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9') && c != '-' && c != '_' &&
            c != '.')
            return false;
        out[i] = c;
    }
    out[n] = '\0';
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return c >= 'a' && c <= 'z'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }

// decimal_numbers - the runs of decimal digits of a name in order. A run of
// up to 3 digits is one number; a longer run whose length is a multiple of
// 3 is read as zero-padded 3-digit groups run together (189042012003);
// any other run is a number that is no octet.
void decimal_numbers(const char *name, number_run *run)
{
    run->count = 0;
    for (const char *p = name; *p != '\0';) {
        if (!is_digit(*p)) {
            p++;
            continue;
        }
        size_t n = 0;
        while (is_digit(p[n]))
            n++;
        if (n <= 3 || n % 3 != 0) {
            int value = -1;
            if (n <= 3) {
                value = 0;
                for (size_t i = 0; i < n; i++)
                    value = value * 10 + (p[i] - '0');
            }
            run->value[run->count++] = value;
        } else {
            for (size_t i = 0; i < n; i += 3)
                run->value[run->count++] =
                    (p[i] - '0') * 100 + (p[i + 1] - '0') * 10 + (p[i + 2] - '0');
        }
        p += n;
    }
}

// holds_octets - three consecutive octets of the address, in its order or
// reversed, are three consecutive numbers of the name.
bool holds_octets(const number_run &run, const unsigned char octet[4])
{
    const int forward[2][3] = {{octet[0], octet[1], octet[2]}, {octet[1], octet[2], octet[3]}};
    for (size_t i = 0; i + 3 <= run.count; i++) {
        for (const auto &three : forward) {
            const int *v = run.value + i;
            if (v[0] == three[0] && v[1] == three[1] && v[2] == three[2])
                return true;
            if (v[0] == three[2] && v[1] == three[1] && v[2] == three[0])
                return true;
        }
    }
    return false;
}

// hex_text - `size` address bytes as lower-case hex digits, in order or
// reversed.
void hex_text(const unsigned char *bytes, size_t size, bool reversed, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; i++) {
        unsigned char b = bytes[reversed ? size - 1 - i : i];
        out[2 * i] = digits[b >> 4];
        out[2 * i + 1] = digits[b & 15];
    }
    out[2 * size] = '\0';
}

// ipv4_derived - the name holds the IPv4 address in decimal or in hex.
bool ipv4_derived(const char *name, const unsigned char octet[4])
{
    thread_local number_run run;  // too large for a frame worth keeping small
    decimal_numbers(name, &run);
    if (holds_octets(run, octet))
        return true;
    char hex[9];
    for (bool reversed : {false, true}) {
        hex_text(octet, 4, reversed, hex);
        if (strstr(name, hex) != nullptr)
            return true;
    }
    return false;
}

// ipv6_derived - the name holds 64 bits of the IPv6 address: 16 of its hex
// digits in a row, in order or nibble-reversed (the reverse zone's order),
// once separators are dropped; or 4 of its groups in a row, each written as
// a hex number of 1 to 4 digits between separators.
bool ipv6_derived(const char *name, const unsigned char address[16])
{
    constexpr size_t run_digits = 16;
    char squeezed[max_name + 1];
    size_t n = 0;
    for (const char *p = name; *p != '\0'; p++)
        if (*p != '-' && *p != '.' && *p != '_')
            squeezed[n++] = *p;
    squeezed[n] = '\0';

    char nibbles[33];
    hex_text(address, 16, false, nibbles);
    char reversed[33];
    for (size_t i = 0; i < 32; i++)
        reversed[i] = nibbles[31 - i];
    reversed[32] = '\0';
    for (const char *text : {static_cast<const char *>(nibbles), static_cast<const char *>(reversed)}) {
        for (size_t start = 0; start + run_digits <= 32; start++) {
            char window[run_digits + 1];
            memcpy(window, text + start, run_digits);
            window[run_digits] = '\0';
            if (strspn(window, "0") == run_digits)
                continue;  // zeros alone say nothing of the address
            if (strstr(squeezed, window) != nullptr)
                return true;
        }
    }

    // The groups: 1 to 4 hex digits between separators ('-', '.', '_').
    long groups[max_name + 1];
    size_t count = 0;
    for (const char *p = name; *p != '\0';) {
        size_t len = strcspn(p, "-._");
        bool hex = len >= 1 && len <= 4;
        long value = 0;
        for (size_t i = 0; hex && i < len; i++) {
            hex = is_hex(p[i]);
            value = value * 16 + (is_digit(p[i]) ? p[i] - '0' : p[i] - 'a' + 10);
        }
        groups[count++] = hex ? value : -1;
        p += len;
        if (*p != '\0')
            p++;
    }
    long address_group[8];
    for (size_t g = 0; g < 8; g++)
        address_group[g] = address[2 * g] << 8 | address[2 * g + 1];
    for (size_t i = 0; i + 4 <= count; i++) {
        for (size_t g = 0; g + 4 <= 8; g++) {
            if (address_group[g] == 0 && address_group[g + 1] == 0 &&
                address_group[g + 2] == 0 && address_group[g + 3] == 0)
                continue;
            if (groups[i] == address_group[g] && groups[i + 1] == address_group[g + 1] &&
                groups[i + 2] == address_group[g + 2] && groups[i + 3] == address_group[g + 3])
                return true;
        }
    }
    return false;
}

// access_word - `word` (n bytes) is one of the access-network words.
bool access_word(const char *word, size_t n)
{
    for (const char *const *w = access_network_words; *w != nullptr; w++)
        if (strlen(*w) == n && memcmp(*w, word, n) == 0)
            return true;
    return false;
}

// access_network_name - a label left of the name's last two, or the letters
// it starts with, is an access-network word. The last two labels are
// mostly the owner's domain, whose name says nothing of the host.
bool access_network_name(const char *name)
{
    size_t labels = 1;
    for (const char *p = name; *p != '\0'; p++)
        labels += *p == '.';
    const char *label = name;
    for (size_t i = 0; i + 2 < labels; i++) {
        size_t len = strcspn(label, ".");
        size_t letters = 0;
        while (letters < len && is_letter(label[letters]))
            letters++;
        if (access_word(label, len) || (letters > 0 && access_word(label, letters)))
            return true;
        label += len + 1;
    }
    return false;
}

// What a name attribute holds.
enum class name_state { none, readable, unreadable };

// name_attribute - the attribute's value as a NUL-ended name in `out`:
// none when it is absent, empty or "unknown" (Postfix's word for no name),
// unreadable when it holds a NUL or is too long for a host name.
name_state name_attribute(const char *attribute, char *out, size_t room)
{
    const char *value = policy_attribute(attribute);
    out[0] = '\0';
    if (value == nullptr || value[0] == '\n')
        return name_state::none;
    if (!attribute_text(value, out, room)) {
        out[0] = '\0';
        return name_state::unreadable;
    }
    return strcmp(out, "unknown") == 0 ? name_state::none : name_state::readable;
}

// client_text - the client_address value, printable and bounded, for the
// log; control and non-ASCII bytes become '?'.
const char *client_text(const char *client)
{
    thread_local char text[64];
    size_t n = 0;
    while (client[n] != '\n' && n + 1 < sizeof text) {
        unsigned char c = static_cast<unsigned char>(client[n]);
        text[n] = c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
        n++;
    }
    text[n] = '\0';
    return text;
}

}  // namespace

bool dynamic_name(const char *name, const char *address)
{
    char lower[max_name + 1];
    if (!lower_host_name(name, lower))
        return true;
    unsigned char bytes[16];
    size_t size = ip_address_bytes(address, bytes);
    if (size == 4 && ipv4_derived(lower, bytes))
        return true;
    if (size == 16 && ipv6_derived(lower, bytes))
        return true;
    return access_network_name(lower);
}

bool helo_sign(const char *helo)
{
    if (helo == nullptr || helo[0] == '\0' || helo[0] == '[')
        return true;
    unsigned char address[16];
    if (ip_address_bytes(helo, address) != 0)
        return true;
    // A dot inside the name: a final dot alone makes no domain of "mail.".
    const char *dot = strchr(helo, '.');
    return dot == nullptr || dot == helo || dot[1] == '\0';
}

unsigned client_signs(const char *client, spf_result spf)
{
    unsigned signs = 0;
    char client_name[max_name + 2];
    char reverse_name[max_name + 2];
    name_state verified = name_attribute("client_name", client_name, sizeof client_name);
    if (verified != name_state::readable)
        signs |= sign_unverified;

    // The reverse name, unverified as it may be, is what the client's
    // network calls it; the verified name stands in when Postfix sent no
    // reverse name. A client without either has nothing to test here; one
    // that is no host name counts (an empty text is none).
    char address[INET6_ADDRSTRLEN + 1];
    bool has_address = attribute_text(client, address, sizeof address);
    name_state reverse = name_attribute("reverse_client_name", reverse_name, sizeof reverse_name);
    const char *name = nullptr;
    if (reverse != name_state::none)
        name = reverse_name;
    else if (verified == name_state::readable)
        name = client_name;
    if (name != nullptr && dynamic_name(name, has_address ? address : ""))
        signs |= sign_dynamic;

    const char *helo_value = policy_attribute("helo_name");
    char helo[max_name + 2];
    if (helo_value == nullptr || !attribute_text(helo_value, helo, sizeof helo) ||
        helo_sign(helo))
        signs |= sign_helo;

    if (spf == spf_result::fail || spf == spf_result::softfail)
        signs |= sign_spf;

    // The blocklists last, and only when nothing else showed: their answer
    // would change nothing for a client already suspicious.
    if (signs == 0 && settings.dnsbl_count > 0 && dnsbl_listing(client) != nullptr)
        signs |= sign_dnsbl;
    return signs;
}

const char *sign_names(unsigned signs)
{
    static const char *const names[] = {"unverified", "dynamic", "helo", "spf", "dnsbl"};
    thread_local char text[64];
    text[0] = '\0';
    for (unsigned i = 0; i < sizeof names / sizeof names[0]; i++) {
        if ((signs & (1u << i)) == 0)
            continue;
        if (text[0] != '\0')
            strcat(text, ",");
        strcat(text, names[i]);
    }
    return text[0] != '\0' ? text : "none";
}

bool greylist_client(const char *client, spf_result spf)
{
    if (!settings.selective)
        return true;
    unsigned signs = client_signs(client, spf);
    if (settings.verbose)
        log_msg(LOG_INFO, "client %s: signs %s%s", client_text(client), sign_names(signs),
                signs != 0 ? ", greylisted" : ", let through");
    return signs != 0;
}
