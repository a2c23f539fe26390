// The set-up shared by the gentle-stop tests: an installation of sorts in a
// temporary directory (the TARVEL variables point into it, so that records
// can be built), the process log in its Service.log, and a fresh manager.
// Stand-ins registered in `peers` are killed at the end if still running.
#pragma once

#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appserver/AppServerManager.h"
#include "common/test_util.h"
#include "foundation/Log.h"
#include "shared/gentle_stop_peer.h"
#include "shared/manager_peer.h"

namespace gentlestop {

class Fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TARVEL", dir.path().c_str(), 1);
        setenv("TARVEL_PERL", dir.path().c_str(), 1);
        setenv("TARVEL_CARTRIDGES", dir.path().c_str(), 1);
        CLog::setFileName(logPath.c_str());
        manager = std::make_unique<CAppServerManager>();
        // References to records handed out by the tests stay valid.
        ManagerTestPeer::records(*manager).reserve(16);
    }

    void TearDown() override
    {
        for (auto& peer : peers)
            if (testutil::ProcessRunning(peer.pid))
                Kill(peer.pid);
    }

    testutil::TempDir dir;
    std::string logPath = dir / "Service.log";
    std::unique_ptr<CAppServerManager> manager;
    std::vector<Peer> peers;
};

}  // namespace gentlestop
