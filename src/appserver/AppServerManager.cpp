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

CAppServerManagerImpl::CAppServerManagerImpl() : mBaseDir(CTarvelEnv::baseDir()) {}

void CAppServerManagerImpl::startServers()
{
    for (auto& process : mProcesses)
        CatchWIException("CAppServerManagerImpl::startServers", [&] { process.restart(); });
}

CAppServerManager::CAppServerManager() : mImpl(new CAppServerManagerImpl) {}

CAppServerManager::~CAppServerManager()
{
    stopServers();
}

void CAppServerManager::setIPList(const char* list)
{
    mImpl->mIPList.clear();
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
        mImpl->mIPList = GetLocalIPList();
        return;
    }
    for (const auto& word : words) {
        // Only to fail early on a word that names no host; the result is not kept.
        CResolveHostName check(word.c_str(), 0, IPPROTO_TCP);
        auto& ips = mImpl->mIPList;
        if (std::find(ips.begin(), ips.end(), word) == ips.end())
            ips.push_back(word);
    }
}

void CAppServerManager::setIPList(const std::vector<std::string>& list)
{
    mImpl->mIPList = list;
}

void CAppServerManager::buildTables()
{
    mImpl->buildTables();
}

void CAppServerManager::startServers()
{
    mImpl->startServers();
}

void CAppServerManager::stopServers()
{
    for (auto& process : mImpl->mProcesses) {
        if (process.mState == 1) {
            kill(process.mPid, SIGTERM);
            process.mState = 0;
        }
    }
}
