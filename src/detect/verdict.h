// The classifier's answer for one file. Only Infected and WormCopy lead to action.
#ifndef VESKACURE_DETECT_VERDICT_H
#define VESKACURE_DETECT_VERDICT_H

enum ScanVerdict {
    Clean = 0,       // not recognised, or the file cannot be mapped
    OpenFailed = 1,  // the file cannot be opened for reading
    Empty = 4,       // the file has size 0
    Infected = 10,   // a host program with the worm in front of it
    WormCopy = 100   // the worm itself (or a file with the worm's checksum)
};

#endif
