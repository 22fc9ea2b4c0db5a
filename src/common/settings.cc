// SPDX-License-Identifier: BSD-2-Clause
// settings.cc - the settings record and its built-in defaults.
#include "common/settings.h"

#define MURVANE_VERSION "0.4.0"
#define INFO_PAGE "https://www.murvane.org/greylisting/"

const char default_reject_action[] =
    "DEFER_IF_PERMIT Greylisted by murvane " MURVANE_VERSION
    ", try again in %d second%p.  See " INFO_PAGE " for more information.";
const char default_greylisted_action[] =
    "PREPEND X-Murvane: Greylisted by murvane " MURVANE_VERSION
    " for %d second%p.  See " INFO_PAGE " for more information.";
const char default_db_home[] = "/var/db/murvane";
const char version_line[] = "murvane " MURVANE_VERSION;

settings_t settings = {
    default_greylist_delay, default_bloc_max_idle, default_pass_max_idle,
    default_network_prefix, default_network6_prefix,
    default_reject_action, default_greylisted_action, default_db_home,
    0, 0, 0, 0, 0, 0, 0, 0,
};
