// System settings the worm changes: SYSTEM.INI, network shares, the Guest account.
#ifndef VESKACURE_SYSFIX_SYSFIX_H
#define VESKACURE_SYSFIX_SYSFIX_H

// system_ini.cpp
// 0 when the loader was taken out of the shell entry; 1 when the entry holds
// no loader; 2 when the entry held it but could not be rewritten.
int repair_system_ini(void);

// shares.cpp
// Deletes every share of the local machine (NT family through NETAPI32.DLL,
// Win9x family through SVRAPI.DLL). 1 when the enumeration ran, 0 when the
// library, an entry point, the buffer or the enumeration failed.
int remove_shares(void);

// guest.cpp
// Takes "\\guest" out of Administrators and disables GUEST: 0 when disabled,
// -1 when the library or an entry point is missing or the disabling failed.
int lock_guest_account(void);

#endif
