#include "service/ControlSwitches.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "config/ServiceSettings.h"
#include "config/TarvelEnv.h"
#include "endpoints/ControlServer.h"
#include "foundation/CmdLine.h"
#include "foundation/StopTimes.h"
#include "servicectl/ControlClient.h"
#include "service/ServiceCheck.h"
#include "service/ServiceMetrics.h"
#include "servicectl/ServiceController.h"

namespace {

// ADDRESS:PORT as the operator typed it; the service decides whether such a
// server exists. Only what cannot travel in one request line is refused here.
bool CheckEndpoint(const std::string& endpoint)
{
    if (endpoint.empty() || endpoint.size() > 300)
        return false;
    for (unsigned char c : endpoint)
        if (c <= 0x20 || c == 0x7f)
            return false;
    return true;
}

// The first line of a failure's text, or a fallback when there is none.
std::string FirstLine(const std::string& text)
{
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "the service's reply failed" : line;
}

CheckVerdict CheckVerdictNow()
{
    std::ostringstream reply, failure;
    ControlWaits waits;
    // A monitoring system gives a plugin 10 to 60 s; the table comes at once.
    waits.reply = std::chrono::seconds(10);
    int result = SendControlRequest(ControlRunDir() + "/" + CControlServer::kSocketName,
                                    "servers json", reply, failure, waits);
    if (result == CONTROL_NOT_RUNNING)
        return CheckFailed(CHECK_CRITICAL, FirstLine(failure.str()));
    if (result != CONTROL_OK)
        return CheckFailed(CHECK_UNKNOWN, FirstLine(failure.str()));
    std::vector<ReportedServer> rows;
    std::string problem = ParseServersJson(reply.str(), rows);
    if (!problem.empty())
        return CheckFailed(CHECK_UNKNOWN, "cannot read the service's list of servers: " + problem);
    return JudgeServers(rows);
}

}  // namespace

int RunCheck()
{
    CheckVerdict verdict;
    try {
        verdict = CheckVerdictNow();
    } catch (std::exception& e) {
        // Mostly the environment: TARVEL names the installation.
        verdict = CheckFailed(CHECK_UNKNOWN, e.what());
    }
    std::cout << verdict.line << std::flush;
    return verdict.status;
}

namespace {

// The settings of tarvelsvc.conf; the defaults where it cannot be read.
ServiceSettings SettingsOrDefaults()
{
    try {
        return LoadServiceSettings(ServiceSettingsFile());
    } catch (std::exception&) {
        // The service refuses such a file itself; the defaults hold here.
        return ServiceSettings();
    }
}

std::chrono::seconds StopBoundOf(const ServiceSettings& settings)
{
    return stoptimes::StopBound(std::chrono::seconds(settings.stopTimeout),
                                std::chrono::seconds(settings.killTimeout));
}

}  // namespace

std::chrono::seconds StartWait()
{
    ServiceSettings settings = SettingsOrDefaults();
    // The old process's stop and the new one's start, with a margin.
    return std::chrono::seconds(settings.startTimeout) + StopBoundOf(settings) +
           std::chrono::seconds(10);
}

std::chrono::seconds ServiceStopWait()
{
    return stoptimes::ServiceStopLimit(StopBoundOf(SettingsOrDefaults()));
}

std::string ControlRunDir()
{
    return CTarvelEnv::baseDir() + "/run";
}

bool RunControlSwitch(CCmdLine& commandLine, int& exitCode)
{
    // The controller's switches keep their meaning whatever else is given.
    for (const char* own : {CServiceControllerBase::SYSTEM_START_SWITCH,
                            CServiceControllerBase::CONSOLE_SWITCH,
                            CServiceControllerBase::START_SWITCH, CServiceControllerBase::STOP_SWITCH,
                            CServiceControllerBase::RESTART_SWITCH,
                            CServiceControllerBase::INSTALL_SWITCH,
                            CServiceControllerBase::UNINSTALL_SWITCH,
                            CServiceControllerBase::STATUS_SWITCH})
        if (commandLine.hasOption(own))
            return false;

    std::string request;
    std::string endpoint;
    if (commandLine.popOption("-servers")) {
        request = commandLine.popOption("-json") ? "servers json" : "servers";
    } else if (commandLine.popOption("-reload")) {
        request = "reload";
    } else if (commandLine.popOption("-metrics")) {
        request = "metrics";
    } else {
        for (const char* name : {"-stopserver", "-startserver", "-restartserver"}) {
            if (!commandLine.hasOption(name))
                continue;
            commandLine.popOption(name, endpoint);
            if (!CheckEndpoint(endpoint)) {
                std::cerr << name << " needs ADDRESS:PORT of a server\n";
                exitCode = CONTROL_FAILED;
                return true;
            }
            request = std::string(name + 1) + " " + endpoint;
            break;
        }
    }
    if (request.empty())
        return false;
    ControlWaits waits;
    // A start, a restart and each step of a reload's rollout may take the
    // whole start time-out before the next line of the reply.
    waits.reply = std::max<std::chrono::milliseconds>(waits.reply, StartWait());
    // A server that ignores the request and SIGTERM takes 35 s to stop; an
    // operator at a terminal hears every 5 s that the wait goes on.
    if (request.compare(0, 11, "stopserver ") == 0 && isatty(STDERR_FILENO) == 1)
        waits.progress = [endpoint](std::chrono::seconds waited) {
            std::fprintf(stderr, "waiting for server %s to stop (%lld s)\n", endpoint.c_str(),
                         static_cast<long long>(waited.count()));
            std::fflush(stderr);
        };
    exitCode = SendControlRequest(ControlRunDir() + "/" + CControlServer::kSocketName, request,
                                  std::cout, std::cerr, waits);
    // A file written from -metrics says that no service runs, instead of
    // missing or keeping the servers of the last run.
    if (request == "metrics" && exitCode == CONTROL_NOT_RUNNING)
        std::cout << ServiceUpText(false);
    std::cout << std::flush;
    return true;
}
