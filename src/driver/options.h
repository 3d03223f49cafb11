// Command-line switches (Windows-free).
#ifndef VESKACURE_DRIVER_OPTIONS_H
#define VESKACURE_DRIVER_OPTIONS_H

struct RunOptions {
    bool guest_prompt;  // /GUEST: ask before locking the Guest account
    bool unshare;       // /UNSHARE: remove all network shares in step II
};

// options.cpp
// Reads argv[1..argc-1]. Answers 0 when every argument was accepted, or the
// index of the first unknown option (any other argument beginning with "/").
int parse_switches(int argc, const char *const *argv, RunOptions *options);

#endif
