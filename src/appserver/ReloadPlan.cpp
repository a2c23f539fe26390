#include "appserver/ReloadPlan.h"

#include <map>
#include <utility>

namespace {

using Key = std::pair<std::string, unsigned short>;

Key KeyOf(const AppServerProcess& record)
{
    return {record.mHost, record.mPort};
}

}  // namespace

ReloadPlan PlanReload(const std::vector<AppServerProcess>& running,
                      const std::vector<AppServerProcess>& fresh)
{
    std::map<Key, const AppServerProcess*> now;
    for (const AppServerProcess& record : running)
        now.emplace(KeyOf(record), &record);

    ReloadPlan plan;
    std::map<Key, bool> kept;
    for (const AppServerProcess& record : fresh) {
        auto it = now.find(KeyOf(record));
        if (it == now.end()) {
            plan.added.push_back(record);
            continue;
        }
        kept[it->first] = true;
        const AppServerProcess& old = *it->second;
        bool leaving = old.mPurpose == StopPurpose::Remove;
        const std::string& next = old.mNextCommand.empty() ? old.mCommand : old.mNextCommand;
        if (leaving || next != record.mCommand)
            plan.changed.push_back({record.mHost, record.mPort, record.mCommand});
        else
            ++plan.unchanged;
    }
    for (const AppServerProcess& record : running)
        if (kept.count(KeyOf(record)) == 0)
            plan.removed.push_back({record.mHost, record.mPort, record.mCommand});
    return plan;
}
