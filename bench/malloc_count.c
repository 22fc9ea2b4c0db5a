// SPDX-License-Identifier: BSD-2-Clause
/*
 * malloc_count.c - counts heap allocations by the code that asked for them.
 *
 * Preloaded (LD_PRELOAD) into a daemon under the load driver. Every malloc,
 * calloc, realloc and aligned allocation is counted under its caller's return
 * address; at exit the counts are summed per loaded object (the program
 * itself, libdb, libc, ...) and appended to the file named by
 * MALLOC_COUNT_FILE as "object<TAB>calls" lines after a "pid<TAB>N" line.
 * Two runs that differ only in their number of requests then show how many
 * allocations one more request costs, and whose code makes them.
 *
 * The allocator itself is glibc's, reached through its __libc_ entry points,
 * so nothing here allocates; the table is fixed and the daemon single-threaded.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
extern void __libc_free(void *);

#define SLOTS 8192
static struct {
    void *caller;
    unsigned long calls;
} slots[SLOTS];
static unsigned long unplaced;  /* calls from callers past a full table */

static void count(void *caller)
{
    size_t h = ((size_t)caller >> 4) * 0x9E3779B97F4A7C15ULL;
    for (size_t probe = 0; probe < SLOTS; probe++) {
        size_t i = (h + probe) % SLOTS;
        if (slots[i].caller == caller) {
            slots[i].calls++;
            return;
        }
        if (slots[i].caller == NULL) {
            slots[i].caller = caller;
            slots[i].calls = 1;
            return;
        }
    }
    unplaced++;
}

void *malloc(size_t size)
{
    count(__builtin_return_address(0));
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
    count(__builtin_return_address(0));
    return __libc_calloc(n, size);
}

void *realloc(void *block, size_t size)
{
    count(__builtin_return_address(0));
    return __libc_realloc(block, size);
}

void free(void *block)
{
    __libc_free(block);
}

void *memalign(size_t alignment, size_t size)
{
    count(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    count(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **result, size_t alignment, size_t size)
{
    count(__builtin_return_address(0));
    void *block = __libc_memalign(alignment, size);
    if (block == NULL)
        return 12; /* ENOMEM */
    *result = block;
    return 0;
}

/* object_of - base name of the loaded object that holds an address; glibc
 * names the main program by its argv[0]. */
static const char *object_of(void *address)
{
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == NULL || *info.dli_fname == 0)
        return "(unknown)";
    const char *slash = strrchr(info.dli_fname, '/');
    return slash ? slash + 1 : info.dli_fname;
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("MALLOC_COUNT_FILE");
    if (path == NULL || *path == '\0')
        return;
    /* Sum per object name; at most 64 distinct objects. */
    const char *names[64];
    unsigned long sums[64];
    int objects = 0;
    for (size_t i = 0; i < SLOTS; i++) {
        if (slots[i].caller == NULL)
            continue;
        const char *name = object_of(slots[i].caller);
        int j = 0;
        while (j < objects && strcmp(names[j], name) != 0)
            j++;
        if (j == objects) {
            if (objects == 64)
                continue;
            names[objects] = name;
            sums[objects++] = 0;
        }
        sums[j] += slots[i].calls;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    /* One write for the whole report, so that reports of processes that
     * share the file never interleave. */
    char text[8192];
    size_t used = 0;
    int n = snprintf(text, sizeof text, "pid\t%d\n", (int)getpid());
    used = n > 0 ? (size_t)n : 0;
    for (int j = 0; j < objects && used < sizeof text; j++) {
        n = snprintf(text + used, sizeof text - used, "%s\t%lu\n", names[j], sums[j]);
        used += n > 0 ? (size_t)n : 0;
    }
    if (used < sizeof text) {
        n = snprintf(text + used, sizeof text - used, "(unplaced)\t%lu\nend\n", unplaced);
        used += n > 0 ? (size_t)n : 0;
    }
    if (used > sizeof text)
        used = sizeof text;
    if (write(fd, text, used) < 0)
        used = 0;
    close(fd);
}
