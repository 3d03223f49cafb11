#include "offline/interrupt.h"

#include <pthread.h>

namespace {

// The number of the first signal, or 0; written only by the handler and by
// note_output_closed, which both keep the first one.
volatile sig_atomic_t first_signal = 0;

const int CAUGHT[] = {SIGINT, SIGTERM, SIGHUP};

void note(int signal_number)
{
    if (first_signal == 0)
        first_signal = signal_number;
}

sigset_t caught_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : CAUGHT)
        sigaddset(&set, signal_number);
    return set;
}

}  // namespace

void catch_interrupts()
{
    struct sigaction action = {};
    action.sa_handler = note;
    // Calls under way go on: a read or write is not cut short.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number : CAUGHT)
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool interrupted()
{
    return first_signal != 0;
}

void note_output_closed()
{
    const sigset_t set = caught_set();
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &set, &before);
    note(SIGPIPE);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

int interrupted_status()
{
    return 128 + first_signal;
}

SignalsHeld::SignalsHeld()
{
    const sigset_t set = caught_set();
    pthread_sigmask(SIG_BLOCK, &set, &before_);
}

SignalsHeld::~SignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}
