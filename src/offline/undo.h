// --undo DIR: every change recorded in DIR's manifest put back, newest first;
// --list DIR: what each change is and what --undo would do with it now.
#ifndef VESKACURE_OFFLINE_UNDO_H
#define VESKACURE_OFFLINE_UNDO_H

#include <string>
#include <vector>

#include "offline/report.h"

struct UndoOptions {
    bool force = false;         // put back also files changed since cleaning, keeping what they hold
    bool revert_force = false;  // put back instead what earlier forced undos overwrote
    bool list = false;          // --list: change nothing, say what undo would do
    std::vector<std::string> paths;  // only the changes of these files and of files below these folders
    std::vector<std::string> roots;  // "OLD=NEW": a recorded root (or a folder above one) is now at NEW
};

// Reports each change with report_undo (report_listed for --list). A file is
// put back when it is as the clean left it, when the change or an earlier
// undo's put-back never completed, or, with force, whatever it holds now
// (after a copy of that is kept and recorded); it is left alone when it
// changed since or is no longer a regular file, and every file is left alone
// on another volume than the one cleaned. False with *error when DIR, its
// manifest or an option cannot be used (nothing is put back then).
bool undo_changes(Output &out, const std::string &dir, const UndoOptions &options, std::string *error);

#endif
