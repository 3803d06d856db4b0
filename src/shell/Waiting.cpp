#include "shell/Waiting.h"

#include "platform/Error.h"
#include "platform/ui/ProgramEnd.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>

namespace Waiting {

namespace detail {

void start(std::shared_ptr<Shared> shared, std::function<void()> job)
{
    std::thread([shared = std::move(shared), job = std::move(job)] {
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard<std::mutex> hold(shared->lock);
        shared->failure = failure;
        shared->done = true;
        shared->finished.notify_all();
    }).detach();
}

bool wait(Shared& shared, std::chrono::milliseconds limit, bool untilDone)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(shared.lock);
            if (shared.finished.wait_for(hold, std::chrono::milliseconds(5), [&] { return shared.done; }))
                break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (ProgramEnd::ended() && !untilDone)
            throw ProgramEnded{};
        if (limit.count() > 0 && clock.elapsed() >= limit.count()) {
            const std::lock_guard<std::mutex> hold(shared.lock);
            if (!shared.done)
                return false;
        }
    }
    // What the work handed to this thread at its very end (starting the
    // opener of a written workbook) runs now, in its place.
    QCoreApplication::processEvents();
    if (ProgramEnd::ended())
        throw ProgramEnded{};
    return true;
}

} // namespace detail

void inPlace(const std::function<void()>& work)
{
    auto shared = std::make_shared<detail::Shared>();
    detail::start(shared, [&work] { work(); });
    detail::wait(*shared, std::chrono::milliseconds(0), true);
    const std::lock_guard<std::mutex> hold(shared->lock);
    if (shared->failure)
        std::rethrow_exception(shared->failure);
}

void raiseTimedOut(const QString& words)
{
    throw quorvane::Error(TimedOut, words);
}

} // namespace Waiting
