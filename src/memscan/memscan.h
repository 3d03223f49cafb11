// Finding and terminating processes whose executable carries the worm.
#ifndef VESKACURE_MEMSCAN_MEMSCAN_H
#define VESKACURE_MEMSCAN_MEMSCAN_H

// memscan.cpp
// 0 when nothing infected is running; the driver then prints "Not found.".
int scan_memory(void);

#endif
