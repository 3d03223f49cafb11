// Safe interruption. Ctrl+C, Ctrl+Break, the console window closing, logoff
// and shutdown all arrive at one console control handler, on a thread of the
// platform's. Work that changes the file system is bracketed by
// begin_guarded_work/end_guarded_work on the run's main thread: an
// interruption that arrives inside it is held until the work is complete, one
// that arrives anywhere else stops the run at once.
#ifndef VESKACURE_PLATFORM_INTERRUPT_H
#define VESKACURE_PLATFORM_INTERRUPT_H

// Installs the handler. `put_back` (may be null) is called by the thread that
// stops the run, before the message: it restores what the run changed outside
// standard output (the console title).
void install_interrupt_handler(void (*put_back)(void));

// A piece of work that must not be cut short; pairs may nest, and only the
// outermost pair counts. Main thread only. When the run has been interrupted
// already, begin does not return: the work is never started.
void begin_guarded_work(void);
// When an interruption arrived during the work, the run stops here.
void end_guarded_work(void);

// The handler as the platform calls it (a BOOL WINAPI routine taking the
// event type). Named here for the Windows-side tests: under Wine no platform
// call makes a close event.
int __stdcall handle_control_event(unsigned long type);

#endif
