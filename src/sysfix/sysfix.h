// System settings the worm changes: SYSTEM.INI, network shares, the Guest account.
#ifndef VESKACURE_SYSFIX_SYSFIX_H
#define VESKACURE_SYSFIX_SYSFIX_H

// system_ini.cpp
// 0 when the loader was taken out of the shell entry; non-zero otherwise.
int repair_system_ini(void);

// shares.cpp
int remove_shares(void);

// guest.cpp
int lock_guest_account(void);

#endif
