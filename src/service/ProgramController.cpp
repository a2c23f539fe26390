#include "service/ProgramController.h"

#include <algorithm>
#include <vector>

#include "foundation/CmdLine.h"
#include "service/CmdLineArguments.h"

namespace {

// What a switch takes after it: nothing, the name of a service (checked by
// the controller: the only one is TARVEL), or a server's ADDRESS:PORT
// (checked by the control switches).
enum class Value { None, ServiceName, Endpoint };

struct Switch {
    const char* name;
    Value value;
};

// In the order in which the controller and the control switches pick the
// one they act upon: that one is not reported, every other one is.
const Switch kSwitches[] = {
    {CServiceControllerBase::SYSTEM_START_SWITCH, Value::ServiceName},
    {CServiceControllerBase::CONSOLE_SWITCH, Value::ServiceName},
    {CServiceControllerBase::START_SWITCH, Value::ServiceName},
    {CServiceControllerBase::STOP_SWITCH, Value::ServiceName},
    {CServiceControllerBase::RESTART_SWITCH, Value::ServiceName},
    {CServiceControllerBase::INSTALL_SWITCH, Value::None},
    {CServiceControllerBase::UNINSTALL_SWITCH, Value::None},
    {CServiceControllerBase::STATUS_SWITCH, Value::None},
    {"-servers", Value::None},
    {"-reload", Value::None},
    {"-metrics", Value::None},
    {"-stopserver", Value::Endpoint},
    {"-startserver", Value::Endpoint},
    {"-restartserver", Value::Endpoint},
    {"-version", Value::None},
};

void PopProgramOptions(CCmdLine& commandLine)
{
    for (const std::string& name : programOptionNames())
        commandLine.popOption(name);
}

// Pops the switch acted upon and returns the values that it (or -json after
// -servers) was given although it takes none.
std::vector<std::string> PopActedSwitch(CCmdLine& commandLine)
{
    std::vector<std::string> stray;
    for (const Switch& s : kSwitches) {
        std::string value;
        if (!commandLine.popOption(s.name, value))
            continue;
        if (s.value == Value::None)
            stray.push_back(value);
        if (std::string(s.name) == "-servers" && commandLine.popOption("-json", value))
            stray.push_back(value);
        break;
    }
    return stray;
}

}  // namespace

std::string CProgramController::getControllerUsage() const
{
    std::string text = CDaemonController::getControllerUsage();
    AppendUsageLine(text, std::string(SYSTEM_START_SWITCH) + " <service> [options]: ",
                    "Start <service> as a daemon, as -start does");
    AppendUsageLine(text, "-servers [-json]: ",
                    "Show the servers of the running service (-json: as JSON)");
    AppendUsageLine(text, "-stopserver <address>:<port>: ", "Stop one server; it stays down");
    AppendUsageLine(text, "-startserver <address>:<port>: ", "Start a stopped server again");
    AppendUsageLine(text, "-restartserver <address>:<port>: ", "Stop one server and start it again");
    AppendUsageLine(text, "-reload: ", "Read the configuration again and apply the differences");
    AppendUsageLine(text, "-metrics: ",
                    "Print the metrics of the running service (Prometheus text format)");
    AppendUsageLine(text, "-check: ",
                    "Judge the servers as a monitoring plugin: one line, exit 0 OK to 3 UNKNOWN");
    AppendUsageLine(text, "-version: ", "Show the version of this program");
    return text;
}

std::string UnexpectedWord(CCmdLine commandLine)
{
    PopProgramOptions(commandLine);
    // Words without an option of their own come first, as the controller
    // reports them when no switch is given.
    std::vector<std::string> words = PopActedSwitch(commandLine);
    std::string word;
    if (commandLine.popOption("", word))
        words.push_back(word);
    std::vector<std::string> names = commandLine.getExtraOptions();
    std::sort(names.begin(), names.end());
    words.insert(words.end(), names.begin(), names.end());
    for (const std::string& candidate : words)
        if (!candidate.empty())
            return candidate;
    return std::string();
}

bool OnlySwitch(CCmdLine commandLine, const char* name)
{
    PopProgramOptions(commandLine);
    std::string value;
    return commandLine.getNumOptions() == 1 && commandLine.popOption(name, value) &&
           value.empty();
}
