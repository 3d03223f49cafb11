// Windows-free part of the WININIT.INI scheme: the rewrite that adds a
// "NUL=" line for a file to be deleted at the next start of a Win9x machine.
#ifndef VESKACURE_REMEDY_WININIT_H
#define VESKACURE_REMEDY_WININIT_H

#include <stdio.h>

// Whether the text read from `binary` (a stream opened in binary mode) can
// pass through the rewrite's text streams intact: false when it holds a zero
// byte (a line read stops there) or a Ctrl-Z before its last byte (text mode
// ends the file there), or when the read fails. A Ctrl-Z as the last byte is
// the end-of-file mark old editors write; it is dropped on the way.
bool wininit_text_intact(FILE *binary);

// Copies the old content to `new_content`, with "NUL=" and `path` inserted
// after the first line that holds "[rename]" in any case, or after a new
// "[rename]" header at the end when there is none. `old_content` may be
// null: an empty old content. Both streams are opened (and closed) by the
// caller, in text mode. False when a read or a write failed.
bool rewrite_wininit(FILE *old_content, FILE *new_content, const char *path);

#endif
