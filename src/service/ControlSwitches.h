// The switches that talk to a running service over its control channel:
// -servers [-json], -stopserver, -startserver and -restartserver
// ADDRESS:PORT, -reload and -metrics.
#pragma once

#include <chrono>
#include <string>

class CCmdLine;

// $TARVEL/run, the directory of the control socket; throws the environment
// exception when TARVEL is not set.
std::string ControlRunDir();

// The longest a start of one server may take to serve, with the stop of its
// old process: the start time-out of tarvelsvc.conf (its default when the
// file cannot be read) and 60 s.
std::chrono::seconds StartWait();
// How long -stop gives the daemon to stop every server: the stop sequence of
// tarvelsvc.conf (STOP_TIMEOUT, KILL_TIMEOUT) and a margin.
std::chrono::seconds ServiceStopWait();

// -check: asks the running service for its servers, prints the verdict's
// line (ServiceCheck.h) and returns its status: CRITICAL when no service
// runs, UNKNOWN when the exchange fails or the reply cannot be read.
int RunCheck();

// When the command line holds one of these switches (and none of the
// controller's own), sends the request, prints the reply and returns true
// with the exit status in `exitCode`: 0 done, 1 failed (message on stderr),
// 3 no service running (-metrics then prints tarvel_service_up 0). Returns
// false otherwise, touching nothing.
bool RunControlSwitch(CCmdLine& commandLine, int& exitCode);
