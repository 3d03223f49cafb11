// File remediation: the drive sweep and what it does to infected files.
#ifndef VESKACURE_REMEDY_REMEDY_H
#define VESKACURE_REMEDY_REMEDY_H

#include <wchar.h>

// sweep.cpp
// Walks every fixed drive; Ch = wchar_t on the NT family, char on Win9x.
template <typename Ch>
int sweep_fixed_drives(void);

#endif
