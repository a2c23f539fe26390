// The controller of this program: the daemon controller, whose usage also
// lists the switches that tarvelsvc adds to it (-runservice, the control
// channel's and -version), and the check that a command line holds nothing
// that no switch takes.
#pragma once

#include <string>

#include "servicectl/DaemonController.h"

class CCmdLine;

class CProgramController : public CDaemonController {
public:
    // The controller's seven lines, then one line per switch of this program,
    // in the same right-aligned format.
    std::string getControllerUsage() const override;
};

// The first word of `commandLine` (from which the program's own options were
// already popped) that neither the one switch acted upon nor its value
// accounts for: a second switch, an unknown one, -json without -servers, a
// value given to a switch that takes none, a word after a switch's value.
// Names are looked at in sorted order, so the answer does not depend on the
// table's order. Empty when the line is clean (also when it has no switch at
// all but no other word either).
std::string UnexpectedWord(CCmdLine commandLine);

// True when the line asks for `name` without a value and nothing else (the
// program's own options aside): -version and -check need no installation.
bool OnlySwitch(CCmdLine commandLine, const char* name);
