#include "platform/ui/ProgramEnd.h"

#include <cstdio>
#include <unistd.h>

namespace ProgramEnd {
namespace {
std::function<void()>& handler()
{
    static std::function<void()> h;
    return h;
}
bool g_ended = false;
Status g_status = Finished;
} // namespace

void now(Status status)
{
    g_ended = true;
    g_status = status;
    if (handler()) {
        handler()();
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
