#include "servicectl/ServiceController.h"

#include "foundation/Assert.h"
#include "foundation/Exceptions.h"

#include <algorithm>
#include <iostream>

CServiceControllerBase* CServiceControllerBase::mSingleInstance = nullptr;

namespace {

// The first option left on a line without a switch that the program entry
// does not take either; a stray word (a value without option) counts too, as
// when the dash was forgotten. Empty when there is none. Names are looked at
// in sorted order so that the report does not depend on the table's order.
std::string UnknownSwitch(const CCmdLine& commandLine, const std::vector<std::string>& known)
{
    std::vector<std::string> names = commandLine.getExtraOptions();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (std::find(known.begin(), known.end(), name) != known.end())
            continue;
        if (!name.empty())
            return name;
        std::string word;
        if (commandLine.peekOption(name, word) && !word.empty())
            return word;
    }
    return std::string();
}

}  // namespace

CServiceControllerBase::CServiceControllerBase()
{
    if (mSingleInstance != nullptr)
        throw CException(
            "CServiceControllerBase::CServiceControllerBase(): Cannot instantiate ServiceController "
            "more than once");
    mSingleInstance = this;
}

// mSingleInstance is deliberately left set: one controller per process,
// even after the first one is gone.
CServiceControllerBase::~CServiceControllerBase() = default;

void CServiceControllerBase::registerServiceName(const std::string& name)
{
    TARVEL_ASSERT(!name.empty());
    TARVEL_ASSERT(!isServiceRegistered(name));
    mServiceNames.push_back(name);
}

bool CServiceControllerBase::isServiceRegistered(const std::string& name) const
{
    for (const std::string& registered : mServiceNames)
        if (registered == name)
            return true;
    return false;
}

int CServiceControllerBase::restartService(const std::string& name,
                                           const std::vector<std::string>& args)
{
    stopService(name);
    return startService(name, args);
}

void CServiceControllerBase::run(int argc, char** argv)
{
    CCmdLine commandLine(argc, argv, "-");
    run(commandLine);
}

int CServiceControllerBase::parseOptions(CCmdLine& commandLine, std::string& serviceName)
{
    // The order matters: with several switches on the line the first one
    // found here wins and the others stay behind as extra options.
    static const struct {
        const char* name;
        int action;
    } kNamedSwitches[] = {
        {SYSTEM_START_SWITCH, ACTION_SYSTEM_START},
        {CONSOLE_SWITCH, ACTION_CONSOLE},
        {START_SWITCH, ACTION_START},
        {STOP_SWITCH, ACTION_STOP},
        {RESTART_SWITCH, ACTION_RESTART},
    };
    static const struct {
        const char* name;
        int action;
    } kPlainSwitches[] = {
        {INSTALL_SWITCH, ACTION_INSTALL},
        {UNINSTALL_SWITCH, ACTION_UNINSTALL},
        {STATUS_SWITCH, ACTION_STATUS},
    };
    for (const auto& s : kNamedSwitches)
        if (commandLine.popOption(s.name, serviceName))
            return s.action;
    for (const auto& s : kPlainSwitches)
        if (commandLine.popOption(s.name))
            return s.action;
    return ACTION_NONE;
}

int CServiceControllerBase::showStatus()
{
    std::cout << getStatus() << std::flush;
    return 0;
}

bool CServiceControllerBase::parseOption(const std::vector<std::string>&,
                                         std::vector<std::string>::const_iterator&)
{
    return false;
}

void CServiceControllerBase::run(CCmdLine& commandLine)
{
    std::string serviceName;
    int action = parseOptions(commandLine, serviceName);
    if (serviceName.empty() && !mServiceNames.empty())
        serviceName = mServiceNames.front();

    switch (action) {
    case ACTION_INSTALL:
        installServices();
        break;
    case ACTION_UNINSTALL:
        uninstallServices();
        break;
    case ACTION_START:
        startService(serviceName, commandLine.getExtraOptions());
        break;
    case ACTION_STOP:
        stopService(serviceName);
        break;
    case ACTION_RESTART:
        restartService(serviceName, commandLine.getExtraOptions());
        break;
    case ACTION_CONSOLE:
        startServiceConsole(serviceName, commandLine.getExtraOptions());
        break;
    case ACTION_SYSTEM_START:
        runService(serviceName);
        break;
    case ACTION_STATUS:
        mExitStatus = showStatus();
        break;
    default: {
        // A mistyped switch must not look like success to a script.
        std::string unknown = UnknownSwitch(commandLine, mEntryOptions);
        if (!unknown.empty()) {
            std::cerr << "unknown switch: " << unknown << "\n\n"
                      << getUsage(commandLine.getProgramName()) << std::flush;
            setExitStatus(1);
            break;
        }
        std::cout << getUsage(commandLine.getProgramName()) << std::flush;
        break;
    }
    }
}

std::string CServiceControllerBase::getControllerUsage() const
{
    std::string text;
    AppendUsageLine(text, std::string(INSTALL_SWITCH) + ": ", "Install registered services");
    AppendUsageLine(text, std::string(UNINSTALL_SWITCH) + ": ", "Uninstall registered services");
    AppendUsageLine(
        text, std::string(START_SWITCH) + " <service> [options]: ",
        "Run <service>. If <service> is omitted, the first registered service is started");
    AppendUsageLine(text, std::string(STOP_SWITCH) + " <service>: ", "Stop <service>");
    AppendUsageLine(text, std::string(RESTART_SWITCH) + " <service> [options]: ",
                    "Restart running <service>");
    AppendUsageLine(text, std::string(CONSOLE_SWITCH) + " <service> [options]: ",
                    "Run <service> in foreground");
    AppendUsageLine(text, std::string(STATUS_SWITCH) + ": ", "Show service status");
    return text;
}

std::string CServiceControllerBase::getUsage(const std::string& programName) const
{
    std::string text = "Usage: " + programName + " <switch> [service] [service specific options]\n";
    text += '\n';
    text += getControllerUsage();
    text += '\n';
    text += "Registered services:\n";
    for (const std::string& name : mServiceNames) {
        text += name;
        text += '\n';
        std::string serviceUsage = getServiceUsage(name);
        if (!serviceUsage.empty()) {
            text += serviceUsage;
            text += '\n';
        }
    }
    return text;
}

std::string CServiceControllerBase::getServiceUsage(const std::string& name) const
{
    return getService(name)->getUsage();
}

void AppendUsageLine(std::string& text, const std::string& left, const char* description)
{
    // Left parts are right-aligned to this width; a longer one is not cut.
    const size_t kUsageColumn = 34;
    if (left.size() < kUsageColumn)
        text.append(kUsageColumn - left.size(), ' ');
    text += left;
    text += description;
    text += '\n';
}
