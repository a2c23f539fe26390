// A throw-away installation for the supervision tests: base, perl,
// cartridges, config and log directories in a temporary directory, with the
// TARVEL variables pointing at them and the process log written to
// log/Service.log.
//
// bin/perl is either the system perl (to run the demo's appsrv.pl) or a small
// shell script driven by environment variables that the started children
// inherit:
//   STUB_ARGS=file   write $0 and every argument, one per line, to file
//   STUB_SIGNAL=sig  kill itself with sig
//   STUB_EXIT=n      exit with code n
//   otherwise        become "sleep 1000"
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "foundation/Log.h"

namespace appservertest {

inline const char* kStubPerl =
    "#!/bin/sh\n"
    "if [ -n \"$STUB_ARGS\" ]; then\n"
    "  for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$STUB_ARGS.tmp\"\n"
    "  mv \"$STUB_ARGS.tmp\" \"$STUB_ARGS\"\n"
    "fi\n"
    "[ -n \"$STUB_SIGNAL\" ] && kill -\"$STUB_SIGNAL\" $$\n"
    "[ -n \"$STUB_EXIT\" ] && exit \"$STUB_EXIT\"\n"
    "exec sleep 1000\n";

inline const char* kStubVariables[] = {"STUB_ARGS",
                                       "STUB_SIGNAL",
                                       "STUB_EXIT",
                                       "APPSRV_EXIT_CODE",
                                       "APPSRV_CRASH_SIGNAL",
                                       "APPSRV_IGNORE_SHUTDOWN",
                                       "APPSRV_SHUTDOWN_DELAY"};

class Installation {
public:
    explicit Installation(bool realPerl = false)
    {
        for (const char* dir :
             {"perl/bin", "cartridges/DE_TARVEL/WebInterface/Scripts", "config", "log"})
            testutil::MakeDirs(mDir / dir);
        if (realPerl) {
            symlink("/usr/bin/perl", perl().c_str());
        } else {
            testutil::WriteFile(perl(), kStubPerl);
            chmod(perl().c_str(), 0755);
        }
        testutil::CopyFile(std::string(TARVEL_SOURCE_DIR) +
                               "/demo/cartridges/DE_TARVEL/WebInterface/Scripts/appsrv.pl",
                           script(), true);
        setenv("TARVEL", mDir.path().c_str(), 1);
        setenv("TARVEL_PERL", (mDir / "perl").c_str(), 1);
        setenv("TARVEL_CARTRIDGES", (mDir / "cartridges").c_str(), 1);
        setenv("TARVEL_CONFIG", (mDir / "config").c_str(), 1);
        setenv("TARVEL_LOG", (mDir / "log").c_str(), 1);
        for (const char* name : kStubVariables)
            unsetenv(name);
        CLog::setFileName(log().c_str());
    }

    ~Installation()
    {
        for (const char* name : kStubVariables)
            unsetenv(name);
    }

    std::string path(const std::string& name) const { return mDir / name; }
    std::string perl() const { return mDir / "perl/bin/perl"; }
    std::string script() const
    {
        return mDir / "cartridges/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    }
    std::string log() const { return mDir / "log/Service.log"; }

    void writeWebInterfaceConf(const std::string& text) const
    {
        testutil::WriteFile(mDir / "config/WebInterface.conf", text);
    }

    // ServerConfig.xml of the demo's shape with one pool of application
    // servers; each entry of appservers is an <appserver .../> element.
    void writeServerConfig(const std::vector<std::string>& appservers) const
    {
        std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
            "  <requestrouters>\n"
            "    <requestrouter name=\"router\" host=\"127.0.0.1\" port=\"1\" "
            "monitor_port=\"2\"/>\n"
            "  </requestrouters>\n"
            "  <pools>\n    <pool name=\"p\">\n"
            "      <requestrouters><requestrouter>router</requestrouter></requestrouters>\n"
            "      <appservers>\n";
        for (const auto& element : appservers)
            xml += "        " + element + "\n";
        xml +=
            "      </appservers>\n    </pool>\n  </pools>\n"
            "  <cacheservers><server host=\"127.0.0.1\" port=\"3\"/></cacheservers>\n"
            "</config>\n";
        testutil::WriteFile(mDir / "config/ServerConfig.xml", xml);
    }

    // Log lines whose message (the text after "[pid] ") is exactly `message`.
    int countMessage(const std::string& message) const
    {
        int n = 0;
        for (const auto& text : messages())
            if (text == message)
                ++n;
        return n;
    }
    std::vector<std::string> messages() const { return testutil::LogMessages(log()); }

private:
    testutil::TempDir mDir;
};

}  // namespace appservertest
