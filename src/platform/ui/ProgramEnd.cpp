#include "platform/ui/ProgramEnd.h"

#include <cstdio>
#include <map>
#include <unistd.h>

namespace ProgramEnd {
namespace {
std::function<void()>& handler()
{
    static std::function<void()> h;
    return h;
}
std::map<int, std::function<void()>>& watchers()
{
    static std::map<int, std::function<void()>> w;
    return w;
}
int g_lastWatch = 0;
bool g_ended = false;
Status g_status = Finished;
} // namespace

void now(Status status)
{
    g_ended = true;
    g_status = status;
    if (handler()) {
        handler()();
        const auto waiting = watchers();
        for (const auto& [id, watcher] : waiting)
            watcher();
        return;
    }
    std::fflush(nullptr);
    ::_exit(status);
}

bool ended()
{
    return g_ended;
}

Status status()
{
    return g_status;
}

int watch(std::function<void()> watcher)
{
    watchers().emplace(++g_lastWatch, std::move(watcher));
    return g_lastWatch;
}

void unwatch(int id)
{
    watchers().erase(id);
}

void setHandler(std::function<void()> h)
{
    handler() = std::move(h);
    g_ended = false;
    g_status = Finished;
}

void reset()
{
    handler() = nullptr;
    g_ended = false;
    g_status = Finished;
}

} // namespace ProgramEnd
