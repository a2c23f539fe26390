// The service's metrics in the Prometheus text exposition format 0.0.4: what
// an HTTP scrape of the metrics endpoint and `tarvelsvc -metrics` print.
//
// The writer takes plain values, not the server records, so that it can be
// fed from the table on the service thread and tested without one. Every
// metric family gets its HELP and TYPE line, even when it has no sample.
//
// A value that does not exist (a server that never ended, never started or
// is not serving yet) is left out rather than written as NaN: a rule or a
// query over it then finds no series instead of a NaN that compares false
// everywhere yet spoils every sum it enters. The one exception is
// tarvel_server_last_signal, whose "none" is 0, a number no signal has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "endpoints/ProcessMetrics.h"

// One supervised server, as the service sees it at the moment of the scrape.
struct ServerMetrics {
    std::string address;         // label "address": the configured host
    unsigned short port = 0;     // label "port"
    std::string pool;            // label "pool", left out when empty: its ServerConfig.xml pool
    std::string state;           // operator-visible state name ("serving", ...)
    bool up = false;             // serving
    unsigned long restarts = 0;  // starts after the first one, since the service started
    int lastExitCode = -1;       // exit status of the last end; -1: none (never ended, or by a signal)
    int lastSignal = 0;          // signal that ended it last; 0: none
    double startTime = 0;        // unix seconds of the last start; 0: never started
    double readySeconds = -1;    // from the last start to serving; < 0: not serving since
    unsigned probeFailures = 0;  // failed probes in a row
    bool throttled = false;      // waiting for its next start after repeated failures
    bool measured = false;       // the tree's figures below were read; else they are left out
    double processes = 0;        // processes in its tree
    double memoryBytes = 0;      // resident memory of its tree
    double cpuSeconds = 0;       // CPU time of its tree since its start
    unsigned long recycles = 0;  // recycles for its memory limit
};

// The service as a whole.
struct ServiceMetrics {
    std::string version;       // label of tarvel_service_info
    std::string installation;  // label of tarvel_service_info: $TARVEL
    unsigned long reloads = 0;
    unsigned long reloadFailures = 0;
    // Datagrams the notification socket dropped, by reason; none without it.
    bool notifySocket = false;
    std::uint64_t droppedForeign = 0, droppedUnknown = 0, droppedMalformed = 0;
    // Every state a server can be in, in the order the series are written:
    // each server gets one tarvel_server_state series per state, and
    // tarvel_service_servers one per state, 0 included. A server whose state
    // is not in the list adds it at the end, so that no server goes uncounted.
    std::vector<std::string> stateNames;
    std::string containment;  // "cgroup" or "session"; empty: not written
};

// The Content-Type of the text the writer produces.
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Returns the whole exposition: the service's families, the pools' (by
// name), the servers' (in the order given) and the process's. The caller owns nothing beyond its inputs.
std::string RenderMetrics(const ServiceMetrics& service, const std::vector<ServerMetrics>& servers,
                          const ProcessMetrics& process);

// Returns `value` escaped for a label value between double quotes: backslash,
// double quote and line feed become \\, \" and \n.
std::string EscapeLabelValue(const std::string& value);

// Returns a sample value as the format writes it: integers without a
// fraction, other numbers in the shortest form that reads back the same,
// NaN, +Inf and -Inf by name.
std::string FormatSampleValue(double value);
