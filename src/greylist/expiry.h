// expiry.h - the expiry pass at the stop.
#ifndef MURVANE_GREYLIST_EXPIRY_H
#define MURVANE_GREYLIST_EXPIRY_H

// run_expiry - delete every record that is idle too long, in one low-priority
// transaction that never waits for a lock: when another process holds one the
// pass needs, the pass is skipped or rolled back and nothing is deleted.
// The caller has checked that no stop signal came, db is open and
// expiry_enabled is set.
void run_expiry();

#endif
