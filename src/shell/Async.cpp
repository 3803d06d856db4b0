#include "shell/Async.h"

#include "platform/ui/ProgramEnd.h"
#include "shell/ErrorTrap.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QThreadPool>
#include <QTimer>

Q_LOGGING_CATEGORY(lcAsync, "quorvane.async", QtWarningMsg)

namespace Async {

namespace detail {

int& unfinishedCount()
{
    static int count = 0;
    return count;
}

void lost(std::exception_ptr failure) noexcept
{
    try {
        std::rethrow_exception(failure);
    } catch (const ProgramEnded&) {
        // Ending the program is no failure.
    } catch (...) {
        qCWarning(lcAsync) << "work nobody awaited failed:" << ErrorTrap::describe(std::current_exception());
    }
}

bool Wakeup::suspend(std::coroutine_handle<> handle, std::chrono::milliseconds limit, bool watchEnd)
{
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_finished)
            return false;
        m_handle = handle;
    }
    const std::weak_ptr<Wakeup> self = weak_from_this();
    if (limit.count() > 0)
        QTimer::singleShot(limit, qApp, [self] {
            if (auto wakeup = self.lock())
                wakeup->wake(OutOfTime);
        });
    if (watchEnd)
        m_endWatch = ProgramEnd::watch([self] {
            if (auto wakeup = self.lock())
                wakeup->post(Ended);
        });
    return true;
}

bool Wakeup::finish()
{
    bool waited = false;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_finished = true;
        waited = bool(m_handle);
    }
    m_finishing.notify_all();
    return waited;
}

bool Wakeup::finishedWithin(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> hold(m_lock);
    return m_finishing.wait_for(hold, wait, [&] { return m_finished; });
}

void Wakeup::post(Why why)
{
    QMetaObject::invokeMethod(
        qApp, [self = shared_from_this(), why] { self->wake(why); }, Qt::QueuedConnection);
}

void Wakeup::wake(Why why)
{
    std::coroutine_handle<> handle;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_why != Waiting || !m_handle)
            return;
        m_why = why;
        handle = std::exchange(m_handle, {});
    }
    if (m_endWatch)
        ProgramEnd::unwatch(std::exchange(m_endWatch, 0));
    handle.resume();
}

void Suspension::await_resume() const
{
    if (wakeup->why() == Wakeup::Ended || ProgramEnd::ended())
        throw ProgramEnded{};
    if (wakeup->why() == Wakeup::OutOfTime)
        throw quorvane::Error(TimedOut, limitWords ? *limitWords : QString());
}

void startThread(std::function<void()> job)
{
    // Threads are kept for the next piece of work (an export opens a table
    // on one each time): starting them costs, and so does the memory each new
    // thread's allocations would take. Work left to finish alone (a login
    // past its time) holds its thread, so there is room for many.
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(256);
        return threads;
    }();
    pool->start(std::move(job));
}

} // namespace detail

int unfinished()
{
    return detail::unfinishedCount();
}

detail::Suspension nextTurn()
{
    auto wakeup = std::make_shared<detail::Wakeup>();
    wakeup->post(detail::Wakeup::Done);
    return detail::suspend(std::move(wakeup), std::chrono::milliseconds(0), true);
}

Task<> wholly(std::function<void()> work)
{
    auto outcome = std::make_shared<detail::Outcome<void>>();
    auto wakeup = std::make_shared<detail::Wakeup>();
    detail::startThread([outcome, wakeup, &work] {
        try {
            work();
        } catch (...) {
            outcome->failure = std::current_exception();
        }
        if (wakeup->finish())
            wakeup->post(detail::Wakeup::Done);
    });
    // Not woken by the end of the program: the work may be using what the caller owns.
    if (!wakeup->finishedWithin(BriefWait))
        co_await detail::suspend(wakeup, std::chrono::milliseconds(0), false);
    if (ProgramEnd::ended())
        throw ProgramEnded{};
    outcome->take();
}

Task<std::exception_ptr> failureOf(Task<> task)
{
    try {
        co_await task;
    } catch (const ProgramEnded&) {
        throw;
    } catch (...) {
        co_return std::current_exception();
    }
    co_return nullptr;
}

Signal::Signal() : m_state(std::make_shared<State>())
{ }

void Signal::notify()
{
    std::shared_ptr<detail::Wakeup> waiting;
    {
        const std::lock_guard<std::mutex> hold(m_state->lock);
        waiting = std::move(m_state->waiting);
        if (!waiting)
            m_state->kept = true;
    }
    m_state->given.notify_all();
    if (waiting)
        waiting->post(detail::Wakeup::Done);
}

bool Signal::Awaiter::await_ready()
{
    if (ProgramEnd::ended())
        throw ProgramEnded{};
    std::unique_lock<std::mutex> hold(signal.m_state->lock);
    signal.m_state->given.wait_for(hold, BriefWait, [&] { return signal.m_state->kept; });
    return std::exchange(signal.m_state->kept, false);
}

bool Signal::Awaiter::await_suspend(std::coroutine_handle<> handle)
{
    {
        const std::lock_guard<std::mutex> hold(signal.m_state->lock);
        if (std::exchange(signal.m_state->kept, false))
            return false;
        wakeup = std::make_shared<detail::Wakeup>();
        signal.m_state->waiting = wakeup;
    }
    // Set up before the event loop runs again, so no wake can come first.
    return wakeup->suspend(handle, std::chrono::milliseconds(0), true);
}

void Signal::Awaiter::await_resume() const
{
    if (ProgramEnd::ended() || (wakeup && wakeup->why() == detail::Wakeup::Ended))
        throw ProgramEnded{};
}

} // namespace Async
