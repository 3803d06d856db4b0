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
} // namespace

void now()
{
    g_ended = true;
    if (handler()) {
        handler()();
        return;
    }
    std::fflush(nullptr);
    ::_exit(0);
}

bool ended()
{
    return g_ended;
}

void setHandler(std::function<void()> h)
{
    handler() = std::move(h);
    g_ended = false;
}

void reset()
{
    handler() = nullptr;
    g_ended = false;
}

} // namespace ProgramEnd
