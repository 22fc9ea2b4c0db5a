// SPDX-License-Identifier: BSD-2-Clause
// main.cc - the murvane executable: everything else is in murvane_core.
#include "daemon/lifecycle.h"

int main(int argc, char **argv)
{
    return daemon_main(argc, argv);
}
