// SPDX-License-Identifier: BSD-2-Clause
// workload.cc - triplets, requests and stored keys for the bench programs.
#include "workload.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <ctime>

uint64_t mix64(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

namespace {

uint64_t space_seed(const std::string &space)
{
    uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over the space's name
    for (unsigned char c : space) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

const char *const sender_words[] = {"bounce", "newsletter", "noreply", "info",
                                    "billing", "alice", "bob.smith", "support"};
const char *const domain_words[] = {"example.net", "example.com", "example.org",
                                    "mail.example.net", "lists.example.com"};

}  // namespace

void make_triplet(const std::string &space, uint64_t index, bench_triplet *t,
                  uint64_t clients)
{
    uint64_t h = mix64(space_seed(space) ^ mix64(index + 1));
    uint32_t a = static_cast<uint32_t>(h & 0x1FFFF);  // 17 bits: 198.18.0.0/15
    if (clients > 0)
        a = static_cast<uint32_t>(mix64(0x636c69656e7473ULL + index % clients) & 0x1FFFF);
    snprintf(t->client_address, sizeof t->client_address, "198.%u.%u.%u",
             18 + (a >> 16), (a >> 8) & 255, a & 255);
    snprintf(t->client_name, sizeof t->client_name, "mx%u.relay%u.example.net",
             static_cast<unsigned>(a & 15), static_cast<unsigned>(a >> 4));
    memcpy(t->reverse_name, t->client_name, sizeof t->reverse_name);
    memcpy(t->helo_name, t->client_name, sizeof t->helo_name);
    // The index in the sender keeps every triplet of a space distinct, and
    // the space in it keeps spaces apart.
    snprintf(t->sender, sizeof t->sender, "%s-%s-%llx@%s",
             sender_words[(h >> 17) % 8], space.c_str(),
             static_cast<unsigned long long>(index), domain_words[(h >> 20) % 5]);
    snprintf(t->recipient, sizeof t->recipient, "user%u@example.org",
             static_cast<unsigned>((h >> 24) % 5000));
}

void reverse_triplet(bench_triplet *t)
{
    char sender[sizeof t->sender];
    static_assert(sizeof t->recipient <= sizeof t->sender);
    memcpy(sender, t->sender, sizeof sender);
    snprintf(t->sender, sizeof t->sender, "%s", t->recipient);
    snprintf(t->recipient, sizeof t->recipient, "%s", sender);
}

void make_suspicious(bench_triplet *t)
{
    snprintf(t->client_name, sizeof t->client_name, "unknown");
    char dashed[sizeof t->client_address];
    size_t i = 0;
    for (; t->client_address[i] != '\0'; i++)
        dashed[i] = t->client_address[i] == '.' ? '-' : t->client_address[i];
    dashed[i] = '\0';
    snprintf(t->reverse_name, sizeof t->reverse_name, "dsl-%s.dynamic.example.net", dashed);
    snprintf(t->helo_name, sizeof t->helo_name, "[%s]", t->client_address);
}

size_t format_request(char *buf, size_t cap, const bench_triplet &t, uint64_t seq,
                      const char *sasl_username)
{
    uint64_t h = mix64(seq ^ 0x5bd1e995ULL);
    int n = snprintf(buf, cap,
        "request=smtpd_access_policy\n"
        "protocol_state=RCPT\n"
        "protocol_name=ESMTP\n"
        "helo_name=%s\n"
        "queue_id=%010llX\n"
        "sender=%s\n"
        "recipient=%s\n"
        "recipient_count=0\n"
        "client_address=%s\n"
        "client_name=%s\n"
        "reverse_client_name=%s\n"
        "instance=%llx.%llx.%llx.0\n"
        "sasl_method=%s\n"
        "sasl_username=%s\n"
        "sasl_sender=\n"
        "size=%llu\n"
        "ccert_subject=\n"
        "ccert_issuer=\n"
        "ccert_fingerprint=\n"
        "ccert_pubkey_fingerprint=\n"
        "encryption_protocol=TLSv1.3\n"
        "encryption_cipher=TLS_AES_256_GCM_SHA384\n"
        "encryption_keysize=256\n"
        "etrn_domain=\n"
        "stress=\n"
        "client_port=%llu\n"
        "policy_context=\n"
        "server_address=192.0.2.25\n"
        "server_port=25\n"
        "compatibility_level=3.6\n"
        "mail_version=3.7.11\n"
        "\n",
        t.helo_name, static_cast<unsigned long long>(h & 0xFFFFFFFFFFULL),
        t.sender, t.recipient, t.client_address, t.client_name, t.reverse_name,
        static_cast<unsigned long long>((h >> 8) & 0xFFFF),
        static_cast<unsigned long long>(h >> 32),
        static_cast<unsigned long long>(seq),
        sasl_username[0] ? "PLAIN" : "", sasl_username,
        static_cast<unsigned long long>(1000 + (h >> 44) % 200000),
        static_cast<unsigned long long>(1024 + (h >> 20) % 60000));
    if (n < 0 || static_cast<size_t>(n) >= cap)
        return 0;
    return static_cast<size_t>(n);
}

size_t stored_key(const bench_triplet &t, unsigned char *key, size_t cap)
{
    size_t s = strlen(t.sender), r = strlen(t.recipient);
    size_t length = 1 + 4 + s + 1 + r;
    if (length > cap)
        return 0;
    key[0] = 1;
    if (inet_pton(AF_INET, t.client_address, key + 1) != 1)
        return 0;
    memcpy(key + 5, t.sender, s);
    key[5 + s] = '\0';
    memcpy(key + 6 + s, t.recipient, r);
    return length;
}

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL +
           static_cast<uint64_t>(ts.tv_nsec);
}
