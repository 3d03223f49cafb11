// --undo DIR: every change recorded in DIR's manifest put back, newest first.
#ifndef VESKACURE_OFFLINE_UNDO_H
#define VESKACURE_OFFLINE_UNDO_H

#include <string>

#include "offline/report.h"

// Reports each change with report_undo. A file is put back when it is as the
// clean left it, when the change or an earlier undo's put-back never completed,
// or, with force, whatever it holds now; it is left alone when it changed since
// or is no longer a regular file. False with *error when DIR or its manifest
// cannot be used (nothing is put back then).
bool undo_changes(Output &out, const std::string &dir, bool force, std::string *error);

#endif
