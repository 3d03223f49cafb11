// The handler and the main thread agree without a lock. Each first publishes
// its own flag with an interlocked exchange (a full barrier), then reads the
// other's: the handler sets `interrupted` and reads `busy`, the main thread
// sets `busy` and reads `interrupted`. So when the handler sees no work under
// way and ends the run itself, the main thread's next begin sees the
// interruption and never starts the work; when it sees work under way, the
// main thread sees the interruption when that work ends. Windows 95 has no
// compare-exchange: exchanges and plain aligned reads are all this needs.
#include <stdio.h>

#include "platform/interrupt.h"

#include <windows.h>

enum { CLOSE_WAIT_MS = 4000 };  // newer Windows allows a close handler 5 s

static volatile LONG interrupted;  // any control event; never cleared
static volatile LONG closing;      // a close, logoff or shutdown: the platform ends the process
static volatile LONG busy;         // the main thread is inside guarded work
static volatile LONG stopping;     // claimed by the one thread that ends the run
static int depth;                  // nesting of guarded work, main thread only
static HANDLE work_ended;          // wakes a close handler that waits for the work
static void (*put_back_display)(void);

// The process is ending on another thread.
static void wait_for_the_end(void)
{
    for (;;)
        Sleep(INFINITE);
}

// The status the platform's own handling of Ctrl+C gives. Standard output
// alone is flushed: the main thread may hold standard input's lock, waiting
// in the Guest prompt.
static void stop_run(void)
{
    if (InterlockedExchange(&stopping, 1) != 0)
        wait_for_the_end();
    if (put_back_display != NULL)
        put_back_display();
    fputs("\n\nInterrupted.\n", stdout);
    fflush(stdout);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Main thread, with nothing half done.
static void stop_here(void)
{
    if (closing) {
        // The handler returns to the platform once woken, and the platform ends the process.
        SetEvent(work_ended);
        wait_for_the_end();
    }
    stop_run();
}

void begin_guarded_work(void)
{
    if (depth++ > 0)
        return;
    InterlockedExchange(&busy, 1);
    if (interrupted)
        stop_here();
}

void end_guarded_work(void)
{
    if (--depth > 0)
        return;
    InterlockedExchange(&busy, 0);
    if (interrupted)
        stop_here();
}

BOOL WINAPI handle_control_event(DWORD type)
{
    const bool close = type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT;
    if (close)
        InterlockedExchange(&closing, 1);
    InterlockedExchange(&interrupted, 1);
    if (!close) {
        if (busy == 0)
            stop_run();
        return TRUE;  // the main thread stops when its work is complete
    }
    // The platform ends the process when this returns (and, on newer Windows,
    // after 5 s in any case): the work at hand gets what time there is.
    if (busy != 0)
        WaitForSingleObject(work_ended, CLOSE_WAIT_MS);
    return FALSE;
}

void install_interrupt_handler(void (*put_back)(void))
{
    put_back_display = put_back;
    work_ended = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(handle_control_event, TRUE);
}
