// The service's own settings: the optional file tarvelsvc.conf in the
// configuration directory, one section [SERVICE]. A missing file means every
// default; anything else in it that is not understood refuses the file.
#pragma once

#include <cstddef>
#include <string>

// How a started server is seen to serve: not at all (at once), by a TCP
// connect, by its READY=1 on the notification socket, or by whichever of
// the two comes first.
enum class ReadinessProbe { None, Tcp, Notify, TcpNotify };
inline bool ProbesTcp(ReadinessProbe r) { return r == ReadinessProbe::Tcp || r == ReadinessProbe::TcpNotify; }
inline bool HearsNotify(ReadinessProbe r) { return r == ReadinessProbe::Notify || r == ReadinessProbe::TcpNotify; }
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
    // The metrics endpoint: a numeric IPv4 or IPv6 address (no brackets)
    // and a port; an empty address (port 0) when it is off.
    std::string metricsAddress;
    unsigned short metricsPort = 0;

    bool operator==(const ServiceSettings& other) const;
    bool operator!=(const ServiceSettings& other) const { return !(*this == other); }
};

// Splits "a.b.c.d:port" or "[v6]:port" into its numeric address (without
// brackets) and the port's text, which is not checked; false when the text
// has neither shape or the address is not a numeric one of its family.
bool SplitListenAddress(const std::string& text, std::string& address, std::string& port);

// configDir() + "/tarvelsvc.conf"; throws as CTarvelEnv::configDir().
std::string ServiceSettingsFile();

// The settings in the file at path; every default when nothing is there (a
// dangling symbolic link is no missing file). Throws CWIException naming the
// file when it cannot be read or is no regular file, and for the first
// (lowest numbered) line with a problem "<path>:<line>: <reason>": a line the
// INI reader refuses, an unknown section or key, a key given twice, a value
// out of its range or form.
ServiceSettings LoadServiceSettings(const std::string& path);
