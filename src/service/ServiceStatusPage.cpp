#include "service/ServiceStatusPage.h"

#include <limits.h>
#include <unistd.h>

#include <utility>

#include "appserver/ProcessMetrics.h"
#include "appserver/StatusPage.h"

namespace {

std::string HostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "this host";  // the page names the host only for the reader
    return name;
}

}  // namespace

std::string ServiceStatusPageText(const std::vector<ServerStatus>& servers, time_t now)
{
    // The process's start is its service's start; read once, not at every
    // load of the page (which would list every descriptor).
    static const time_t started = static_cast<time_t>(ReadProcessMetrics().startTime);
    StatusPageService service;
    service.host = HostName();
    service.version = TARVELSVC_VERSION;
    service.startTime = started > 0 ? started : 0;
    // The containment and the trees' figures are shown as "-" until the
    // status view carries them.
    std::vector<StatusPageServer> rows;
    rows.reserve(servers.size());
    for (const ServerStatus& status : servers)
        rows.push_back({status, -1, -1});
    return RenderStatusPage(service, rows, now);
}

CRenderCache::CRenderCache(std::function<std::string()> render, Clock::duration maxAge)
    : mRender(std::move(render)), mMaxAge(maxAge)
{
}

const std::string& CRenderCache::text(Clock::time_point now)
{
    // A clock that went backwards (it should not) renders anew too.
    if (!mValid || now - mRendered >= mMaxAge || now < mRendered) {
        mText = mRender();
        mRendered = now;
        mValid = true;
    }
    return mText;
}
