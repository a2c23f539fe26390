// tarvelsvc: the application server service and its own controller.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "config/TarvelEnv.h"
#include "foundation/CmdLine.h"
#include "foundation/Log.h"
#include "service/ApplicationServerService.h"
#include "service/CmdLineArguments.h"
#include "service/ControlSwitches.h"
#include "service/ProgramController.h"
#include "service/ServiceCheck.h"
#include "servicectl/DaemonStart.h"


// -start waits until every server serves or has failed: up to the start
// time-out of tarvelsvc.conf, and a margin.
static std::chrono::seconds StartReportLimit()
{
    return std::max<std::chrono::seconds>(servicectl::kStartReportLimit, StartWait());
}

// -iplist and TARVEL_IPLIST go through the same parser and checks. The
// words are resolved only when the service builds its table, so that -stop
// and -status never wait for, or fail on, name resolution.
static void HandOverIPList(CApplicationServerService& service, const CmdLineArguments& args)
{
    if (args.ipListGiven) {
        service.manager().setIPListLater(args.ipListText.c_str());
        return;
    }
    // Without TARVEL_IPLIST the host serves all of its own addresses.
    std::string envList;
    bool envGiven = true;
    try {
        envList = CTarvelEnv::ipListText();
    } catch (std::exception&) {
        envGiven = false;
    }
    service.manager().setIPListLater(envGiven ? envList.c_str() : nullptr);
}

// -version and -check need no log file; true when the line asked for one
// of them, with its exit status in `exitCode`.
static bool AnsweredWithoutLog(const CCmdLine& commandLine, int& exitCode)
{
    exitCode = 0;
    if (OnlySwitch(commandLine, "-version")) {
        std::printf("tarvelsvc %s\n", TARVELSVC_VERSION);
        return true;
    }
    if (!commandLine.hasOption("-check"))
        return false;
    // A monitoring system reads every answer of -check as a plugin's: one
    // line and a status of 0 to 3, also for a mistyped command line.
    if (OnlySwitch(commandLine, "-check")) {
        exitCode = RunCheck();
        return true;
    }
    CheckVerdict verdict = CheckFailed(CHECK_UNKNOWN, "-check takes no value and no other switch");
    std::cout << verdict.line << std::flush;
    exitCode = verdict.status;
    return true;
}

static int runProgram(int argc, char** argv)
{
    CCmdLine commandLine(argc, argv, "-");
    int early = 0;
    if (AnsweredWithoutLog(commandLine, early))
        return early;

    CmdLineArguments args;
    try {
        args = parseCommandLine(commandLine);
    } catch (std::exception& e) {
        std::fprintf(stderr, "%s\n\n", e.what());
        std::fprintf(stderr, USAGE_TEXT, argv[0]);
        return 1;
    }

    // Without a switch: the usage, which needs no installation either (the
    // service itself reads TARVEL when it is made).
    if (commandLine.getNumOptions() == 0) {
        CDaemon named(CApplicationServerService::kName, CApplicationServerService::kDisplayName,
                      CApplicationServerService::kDescription);
        CProgramController controller;
        controller.registerService(&named);
        std::cout << controller.getUsage(commandLine.getProgramName()) << std::flush;
        return 0;
    }

    CLog::setFileName((CTarvelEnv::logDir() + "/Service.log").c_str());

    // The controller's usage names the service: both exist before anything
    // is acted upon, so that a stray word is refused with that usage.
    CApplicationServerService service;
    CProgramController controller;
    controller.setEntryOptions(programOptionNames());
    controller.registerService(&service);
    std::string unexpected = UnexpectedWord(commandLine);
    if (!unexpected.empty()) {
        std::cerr << "unknown switch: " << unexpected << "\n\n"
                  << controller.getUsage(commandLine.getProgramName()) << std::flush;
        return 1;
    }
    // -servers, -stopserver, -reload ... ask the running service; they need
    // no service object of their own.
    int controlExit = 0;
    if (RunControlSwitch(commandLine, controlExit))
        return controlExit;

    if (args.logGiven)
        CLog::setFileName(args.logFile.c_str());

    HandOverIPList(service, args);

    // The controller parses the whole command line again by itself; the
    // options popped above reach the service as extra arguments.
    controller.setInstallationLock(ControlRunDir());
    controller.setStartReportLimit(StartReportLimit());
    controller.setStopLimit(ServiceStopWait());
    controller.run(argc, argv);
    return controller.getExitStatus();
}

int main(int argc, char** argv)
{
    // A failure that ends the program is reported and gives exit status 1,
    // so that scripts and init systems see that the service did not run.
    try {
        return runProgram(argc, argv);
    } catch (CNothingToStop& e) {
        // Reported like a failure, but the service is stopped as asked.
        KXLogWrite(CLog::_pKXLog, "main(): General exception: %s", e.what());
        std::fprintf(stderr, "%s\n", e.what());
        return 0;
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "main(): General exception: %s", e.what());
        std::fprintf(stderr, "%s\n", e.what());
        // In a daemon that is not up yet: the process that started it
        // prints this line and fails.
        servicectl::ReportStartFailure(std::string("main(): General exception: ") + e.what());
        return 1;
    } catch (...) {
        KXLogWrite(CLog::_pKXLog, "main(): Unknown exception");
        std::fprintf(stderr, "Unknown exception\n");
        servicectl::ReportStartFailure("main(): Unknown exception");
        return 1;
    }
}
