#include "driver/intro.h"

#include <stddef.h>

const char *const INTRO_FIRST_SCREEN[] = {
    "\n +=============================================================+\n",
    " |                     VESKACURE Version 1.22                  |\n",
    " |          Copyright (c) 2001 Example Software Works          |\n",
    " |                   http://www.example.com/                   |\n",
    " +=============================================================+\n",
    " |                                                             |\n",
    " |  1.  Scan and remove PE_VESKA.A from memory.                |\n",
    " |                                                             |\n",
    " |  2.  Remove shared directories and other network settings.  |\n",
    " |          a. Remove all shared drives.                       |\n",
    " |          b. Disable Guest account.                          |\n",
    " |                                                             |\n",
    " |  3.  Scan and clean infected files.                         |\n",
    " |          a. Remove PE_VESKA.A from SYSTEM.INI               |\n",
    " |          b. Scan the system for infected files.             |\n",
    " |          c. Clean/delete infected files.                    |\n",
    " |          d. Supports non-English systems.                   |\n",
    " |                                                             |\n",
    " |      For the details of this virus, visit                   |\n",
    " |      http://www.example.com/virusinfo/                      |\n",
    " |      vinfo.asp?vname=PE_VESKA.A                             |\n",
    " |                                                             |\n",
    " +=============================================================+",
    " \n Press any key for help....\n",
    NULL,
};

const char *const INTRO_SECOND_SCREEN[] = {
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n",
    " +============================================================+\n",
    " |                                                            |\n",
    " |  Scanning options:                                         |\n",
    " |                                                            |\n",
    " |      /GUEST    - prompts user if Guest account should      |\n",
    " |                  be disabled.  Default is no prompt.       |\n",
    " |                                                            |\n",
    " |      /UNSHARE   - removed shared folders .                 |\n",
    " |                                                            |\n",
    " +============================================================+\n",
    " \n Press any key to continue....\n",
    NULL,
};
