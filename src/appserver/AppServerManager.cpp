#include "appserver/AppServerManager.h"

#include <netinet/in.h>
#include <signal.h>

#include <algorithm>
#include <cstring>

#include "config/TarvelEnv.h"
#include "endpoints/StopRequests.h"
#include "foundation/Exceptions.h"
#include "foundation/HostAddr.h"
#include "foundation/Log.h"
#include "foundation/SplitWords.h"

namespace {

const size_t kIPListBufferSize = 8192;

}  // namespace

CAppServerManager::CAppServerManager()
    : mBaseDir(CTarvelEnv::baseDir()), mRequests(std::make_unique<StopRequests>()),
      mTrees(std::make_unique<ServerTrees>())
{
}

// Left by an exception, the service must not leave servers behind; their
// end is not waited for here.
CAppServerManager::~CAppServerManager()
{
    killRemaining();
}

void CAppServerManager::setIPList(const char* list)
{
    mIPList.clear();
    std::string text = list != nullptr ? list : "";
    // The list is meant for a handful of addresses; cutting an overlong one
    // would silently drop servers, or mangle the last word into another host.
    if (text.size() >= kIPListBufferSize)
        throw CWIException(
            ERROR_BUFFER_SIZE,
            "CAppServerManager::setIPList(): address list of %zu characters is longer "
            "than %zu",
            text.size(), kIPListBufferSize - 1);

    std::vector<std::string> words = SplitWords(text, " \t,");

    if (words.empty()) {
        mIPList = GetLocalIPList();
        return;
    }
    for (const auto& word : words) {
        // Only to fail early on a word that names no host; the result is not kept.
        CResolveHostName check(word.c_str(), 0, IPPROTO_TCP);
        auto& ips = mIPList;
        if (std::find(ips.begin(), ips.end(), word) == ips.end())
            ips.push_back(word);
    }
}

void CAppServerManager::setIPList(const std::vector<std::string>& list)
{
    mIPList = list;
}

void CAppServerManager::setIPListLater(const char* list)
{
    mIPListPending = true;
    mIPListNull = list == nullptr;
    mIPListText = list != nullptr ? list : "";
}

void CAppServerManager::setServerOutputDir(const std::string& dir)
{
    mServerOutputDir = dir;
}

void CAppServerManager::setSettings(const ServiceSettings& settings)
{
    mSettings = settings;
    mProbing = true;
    for (auto& record : mProcesses) {
        configure(record);
        record.mChanged = true;  // its probes follow the new settings
    }
}

void CAppServerManager::configure(AppServerProcess& record) const
{
    // A host that does not resolve cannot be probed: its fork counts as serving.
    record.mProbed = mProbing && ((ProbesTcp(mSettings.readiness) && record.mTarget.length != 0) ||
                                  (HearsNotify(mSettings.readiness) && !mNotifyPath.empty()));
    configureNotify(record);
    record.mStartTimeout = std::chrono::seconds(mSettings.startTimeout);
    record.mProbeLimit = static_cast<unsigned>(mSettings.livenessFailures);
    record.mStopTimeout = std::chrono::seconds(mSettings.stopTimeout);
    record.mKillTimeout = std::chrono::seconds(mSettings.killTimeout);
    record.mTrees = mContained ? mTrees.get() : nullptr;
}

// The hard stop's first step on every server that runs: no shutdown
// request, no wait.
void CAppServerManager::killRemaining()
{
    for (auto& record : mProcesses) {
        auto now = Clock::now();
        if (IsLive(record.mState))
            record.requestStop(StopPurpose::Shutdown, now);
        record.onRequestDone(false, 0, now);
    }
}
