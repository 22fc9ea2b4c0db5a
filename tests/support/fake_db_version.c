// SPDX-License-Identifier: BSD-2-Clause
/*
 * fake_db_version.c - db_version() of another library release, for the
 * version check's tests. MURVANE_FAKE_DB_VERSION holds "major.minor.patch".
 */
#include <stdio.h>
#include <stdlib.h>

char *db_version(int *major, int *minor, int *patch)
{
    static char text[128];
    int a = 0, b = 0, c = 0;
    const char *wanted = getenv("MURVANE_FAKE_DB_VERSION");
    if (wanted != NULL)
        sscanf(wanted, "%d.%d.%d", &a, &b, &c);
    if (major)
        *major = a;
    if (minor)
        *minor = b;
    if (patch)
        *patch = c;
    snprintf(text, sizeof text, "Berkeley DB %d.%d.%d: (fake release)", a, b, c);
    return text;
}
