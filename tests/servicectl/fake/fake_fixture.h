// A private copy of the fake service (see common/service_copy.h), logging to
// service.log beside it.
#pragma once

#include "common/service_copy.h"

namespace faketest {

using testutil::ElapsedMs;
using testutil::Slot;

class FakeService : public testutil::ServiceCopy {
public:
    explicit FakeService(const std::string& dirPath)
        : ServiceCopy(FAKE_SERVICE_PATH, dirPath + "/fake_service", dirPath + "/service.log",
                      {"FAKE_LOG=" + dirPath + "/service.log"})
    {
    }

    pid_t WaitForDaemon(const std::string& name = "FakeSvc", pid_t other = 0)
    {
        return ServiceCopy::WaitForDaemon(name, other);
    }
};

}  // namespace faketest
