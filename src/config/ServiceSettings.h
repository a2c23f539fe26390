// The service's own settings: the optional file tarvelsvc.conf in the
// configuration directory, one section [SERVICE]. A missing file means every
// default; anything else in it that is not understood refuses the file.
#pragma once

#include <cstddef>
#include <string>

#include "foundation/HostPort.h"

enum class ReadinessProbe { None, Tcp };
enum class LivenessProbe { None, Tcp, Http };

struct ServiceSettings {
    // Limits of the values; the defaults are the members' initial values.
    static constexpr int kMaxStartTimeout = 3600;       // s
    static constexpr int kMaxLivenessInterval = 3600;   // s
    static constexpr int kMaxLivenessTimeout = 600;     // s, and <= the interval
    static constexpr int kMaxLivenessFailures = 100;
    static constexpr std::size_t kMaxLivenessPath = 1024;

    int startTimeout = 60;  // s a started server has to accept connections
    ReadinessProbe readiness = ReadinessProbe::Tcp;
    LivenessProbe liveness = LivenessProbe::None;
    std::string livenessPath = "/";  // what an http probe asks for
    int livenessInterval = 10;       // s between probes of a serving server
    int livenessTimeout = 5;         // s one probe may take
    int livenessFailures = 3;        // probes failed in a row before a restart
    // The metrics endpoint's address, parsed; not set when it is off.
    ListenAddress metricsListen;

    bool operator==(const ServiceSettings& other) const;
    bool operator!=(const ServiceSettings& other) const { return !(*this == other); }
};

// configDir() + "/tarvelsvc.conf"; throws as CTarvelEnv::configDir().
std::string ServiceSettingsFile();

// The settings in the file at path; every default when nothing is there (a
// dangling symbolic link is no missing file). Throws CWIException naming the
// file when it cannot be read or is no regular file, and for the first
// (lowest numbered) line with a problem "<path>:<line>: <reason>": a line the
// INI reader refuses, an unknown section or key, a key given twice, a value
// out of its range or form.
ServiceSettings LoadServiceSettings(const std::string& path);
