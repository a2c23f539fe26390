#include "service/CmdLineArguments.h"

#include "foundation/CmdLine.h"
#include "foundation/Exceptions.h"

const char* const USAGE_TEXT =
    "usage: %s [-n] [-d <level>] [-l <logfile>]\n"
    "\t-n -console : run in foreground\n"
    "\t-d -debug   : enter debug mode\n"
    "\t-debuglog   : debug log file prefix\n"
    "\t-l -log     : use alternate log file\n"
    "\t-i -iplist  : sets the IP address for lookup in WebInterface.conf\n";

const std::vector<std::string>& programOptionNames()
{
    static const std::vector<std::string> names{"-debug", "-d",      "-log", "-l",
                                                "-debuglog", "-iplist", "-i"};
    return names;
}

// The long form wins; the alias is looked at only when it is absent.
static bool popEither(CCmdLine& commandLine, const char* name, const char* alias,
                      std::string& value)
{
    if (commandLine.popOption(name, value))
        return true;
    return alias != nullptr && commandLine.popOption(alias, value);
}

CmdLineArguments parseCommandLine(CCmdLine& commandLine)
{
    CmdLineArguments args;
    std::string value;

    if (popEither(commandLine, "-debug", "-d", value)) {
        args.debugGiven = true;
        args.debugLevel = std::stoi(value);
    }
    args.logGiven = popEither(commandLine, "-log", "-l", args.logFile);
    args.debugLogGiven = popEither(commandLine, "-debuglog", nullptr, args.debugLogPrefix);
    args.ipListGiven = popEither(commandLine, "-iplist", "-i", args.ipListText);

    if (args.logGiven && args.logFile.empty())
        throw CException("parseCommandLine(): Used '-log' option without passing a file name");
    if (args.debugLogGiven && args.debugLogPrefix.empty())
        throw CException("parseCommandLine(): Used '-debuglog' option without passing a file name");
    if (args.ipListGiven && args.ipListText.empty())
        throw CException(
            "parseCommandLine(): Used '-iplist' option without passig an ip address list");
    return args;
}
