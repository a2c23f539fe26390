// tarvelsvc: the application server service and its own controller.
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
#include "servicectl/DaemonController.h"

static int runProgram(int argc, char** argv)
{
    CLog::setFileName((CTarvelEnv::logDir() + "/Service.log").c_str());

    CmdLineArguments args;
    CCmdLine commandLine(argc, argv, "-");
    try {
        args = parseCommandLine(commandLine);
    } catch (std::exception& e) {
        std::fprintf(stderr, "%s\n\n", e.what());
        std::fprintf(stderr, USAGE_TEXT, argv[0]);
        return 1;
    }

    // -servers, -stopserver, -reload ... ask the running service; they need
    // no service object of their own.
    int controlExit = 0;
    if (RunControlSwitch(commandLine, controlExit))
        return controlExit;

    if (args.logGiven)
        CLog::setFileName(args.logFile.c_str());

    CApplicationServerService service;
    if (args.ipListGiven) {
        service.manager().setIPList(args.ipListText.c_str());
    } else {
        // Without TARVEL_IPLIST the host serves all of its own addresses.
        try {
            service.manager().setIPList(CTarvelEnv::ipList());
        } catch (std::exception&) {
            service.manager().setIPList(static_cast<const char*>(nullptr));
        }
    }

    // The controller parses the whole command line again by itself; the
    // options popped above reach the service as extra arguments.
    CDaemonController controller;
    controller.registerService(&service);
    controller.run(argc, argv);
    return controller.getExitStatus();
}

int main(int argc, char** argv)
{
    // A failure that ends the program is reported and gives exit status 1,
    // so that scripts and init systems see that the service did not run.
    try {
        return runProgram(argc, argv);
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "main(): General exception: %s", e.what());
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    } catch (...) {
        KXLogWrite(CLog::_pKXLog, "main(): Unknown exception");
        std::fprintf(stderr, "Unknown exception\n");
        return 1;
    }
}
