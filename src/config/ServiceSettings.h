// The service's own settings: the optional file tarvelsvc.conf in the
// configuration directory, one section [SERVICE]. A missing file means every
// default; anything else in it that is not understood refuses the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/HostPort.h"
#include "foundation/TreeContainment.h"

// How a started server is seen to serve: not at all (at once), by a TCP
// connect, by its READY=1 on the notification socket, or by whichever of
// the two comes first.
enum class ReadinessProbe { None, Tcp, Notify, TcpNotify };
inline bool ProbesTcp(ReadinessProbe r) { return r == ReadinessProbe::Tcp || r == ReadinessProbe::TcpNotify; }
inline bool HearsNotify(ReadinessProbe r) { return r == ReadinessProbe::Notify || r == ReadinessProbe::TcpNotify; }
// How a serving server is seen to live: not at all, by a TCP connect or an
// HTTP GET every interval, or by its own WATCHDOG=1 at least every interval.
enum class LivenessProbe { None, Tcp, Http, Watchdog };

struct ServiceSettings {
    // Limits of the values; the defaults are the members' initial values.
    static constexpr int kMaxStartTimeout = 3600;       // s
    static constexpr int kMaxLivenessInterval = 3600;   // s
    static constexpr int kMaxLivenessTimeout = 600;     // s, and <= the interval
    static constexpr int kMaxLivenessFailures = 100;
    static constexpr std::size_t kMaxLivenessPath = 1024;
    static constexpr int kMaxStopTimeout = 3600;          // s
    static constexpr int kMaxKillTimeout = 600;           // s
    static constexpr int kMaxAccountingInterval = 3600;   // s
    static constexpr int kMaxMemoryLimitChecks = 100;
    static constexpr std::uint64_t kMinMemoryLimit = std::uint64_t(1) << 20;   // 1M
    static constexpr std::uint64_t kMaxMemoryLimit = std::uint64_t(16) << 40;  // 16T

    int startTimeout = 60;  // s a started server has to accept connections
    ReadinessProbe readiness = ReadinessProbe::Tcp;
    LivenessProbe liveness = LivenessProbe::None;
    std::string livenessPath = "/";  // what an http probe asks for
    int livenessInterval = 10;       // s between probes of a serving server
    int livenessTimeout = 5;         // s one probe may take
    int livenessFailures = 3;        // probes failed in a row before a restart
    // The metrics endpoint's address, parsed; not set when it is off.
    ListenAddress metricsListen;
    Containment containment = Containment::Auto;
    int stopTimeout = 30;        // s the tree has to end after the shutdown request
    int killTimeout = 5;         // s after SIGTERM, and again after SIGKILL
    int accountingInterval = 10; // s between readings of the trees' usage; 0: off
    std::uint64_t memoryLimit = 0;  // bytes a tree may use; 0: no limit
    int memoryLimitChecks = 3;   // readings over the limit in a row before a recycle

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
