// The program's own options, taken off the command line before the
// controller sees it.
#pragma once

#include <string>
#include <vector>

class CCmdLine;

struct CmdLineArguments {
    bool debugGiven = false;
    int debugLevel = 0;
    bool debugLogGiven = false;
    std::string debugLogPrefix;
    bool logGiven = false;
    std::string logFile;
    bool ipListGiven = false;
    std::string ipListText;
};

// Pops -debug/-d, -log/-l, -debuglog and -iplist/-i. Throws
// std::invalid_argument or std::out_of_range ("stoi") for a bad level and
// CException for an option given without its value.
CmdLineArguments parseCommandLine(CCmdLine& commandLine);

extern const char* const USAGE_TEXT;

// The names of the options parseCommandLine takes, aliases included.
const std::vector<std::string>& programOptionNames();
