#include "appserver/AppServerManager.h"

#include <netinet/in.h>
#include <signal.h>

#include <algorithm>
#include <cstring>

#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"
#include "foundation/HostAddr.h"
#include "foundation/Log.h"
#include "foundation/SplitWords.h"

namespace {

const size_t kIPListBufferSize = 8192;

}  // namespace

CAppServerManager::CAppServerManager() : mBaseDir(CTarvelEnv::baseDir()) {}

// Left by an exception, the service must not leave servers behind; their
// end is not waited for here.
CAppServerManager::~CAppServerManager()
{
    killRemaining(SIGTERM);
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

void CAppServerManager::killRemaining(int signal)
{
    for (auto& process : mProcesses)
        if (process.mState == ServerState::Running)
            process.terminate(signal);
}

bool CAppServerManager::stopServers()
{
    const auto kGrace = std::chrono::seconds(5);
    auto waitForStopping = [this](Clock::time_point deadline) {
        auto stopping = [this] {
            return std::any_of(mProcesses.begin(), mProcesses.end(), [](const AppServerProcess& p) {
                return p.mState == ServerState::Stopping;
            });
        };
        while (stopping() && Clock::now() < deadline)
            wait(deadline);
        return stopping();
    };

    Phase previous = mPhase;
    mPhase = Phase::HardStop;
    killRemaining(SIGTERM);
    if (waitForStopping(Clock::now() + kGrace)) {
        for (auto& process : mProcesses) {
            if (process.mState != ServerState::Stopping)
                continue;
            kill(process.mPid, SIGKILL);
            KXLogWrite(CLog::_pKXLog, "stopServers(): killed \"%s\" (pid %d) after 5 s",
                       process.mCommand.c_str(), static_cast<int>(process.mPid));
        }
        // SIGKILL cannot be refused, but a process stuck in the kernel
        // ends only when it leaves it.
        if (waitForStopping(Clock::now() + kGrace))
            for (const auto& process : mProcesses)
                if (process.mState == ServerState::Stopping)
                    KXLogWrite(CLog::_pKXLog,
                               "stopServers(): \"%s\" (pid %d) still running 5 s after SIGKILL",
                               process.mCommand.c_str(), static_cast<int>(process.mPid));
    }
    mPhase = previous;
    return std::none_of(mProcesses.begin(), mProcesses.end(), [](const AppServerProcess& p) {
        return p.mState == ServerState::Stopping || p.mState == ServerState::Running;
    });
}
