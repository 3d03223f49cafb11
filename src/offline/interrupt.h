// How a run of --clean or a report ends early: SIGINT, SIGTERM and SIGHUP
// only note the signal, and a closed standard output (SIGPIPE ignored, EPIPE
// seen) is noted alike. The walk asks between files and stops there, so a file
// being changed is always finished. A second signal changes nothing.
#ifndef VESKACURE_OFFLINE_INTERRUPT_H
#define VESKACURE_OFFLINE_INTERRUPT_H

#include <signal.h>

// Installs the handlers (SIGPIPE ignored). Called once, before the walk.
void catch_interrupts();

// A signal came or standard output was closed: stop before the next file.
bool interrupted();

// Notes that a write to standard output failed with EPIPE.
void note_output_closed();

// The exit status of an interrupted run: 128 + the first signal's number
// (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP, 141 for a closed output).
int interrupted_status();

// While one is alive, the signals wait (they are noted when it ends): no
// system call of a change is cut short by one.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t before_;
};

#endif
