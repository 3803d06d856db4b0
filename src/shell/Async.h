#pragma once

// Long work (a login, a listing, an export) is written as a coroutine that
// runs on the window's thread and gives the event loop back whenever it waits:
// for a call to the network or the disk made on a thread of its own, for rows
// a reader thread has yet to deliver, or simply for the window to be painted
// and answered. Nothing pumps events by hand; what the coroutine waits for
// resumes it from the program's one event loop.

#include "platform/Error.h"

#include <QString>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

/** The program ended while a handler waited: the handler leaves without another word. */
struct ProgramEnded { };

namespace Async {

/** The number a wait that ran out of time raises with (the classic "Timeout expired"). */
inline constexpr long TimedOut = quorvane::TimedOut;

/** Coroutines begun and not yet finished; tests wait for this to be 0. */
int unfinished();

/**
 * How long the window's thread waits, blocked, for work that is about to end
 * before it gives the event loop back: a round trip through the loop costs
 * more than most short calls (opening a small table) take, and the window
 * does not notice a wait this short.
 */
inline constexpr std::chrono::milliseconds BriefWait{2};

namespace detail {

int& unfinishedCount();
/** A task nobody awaits failed: the failure is logged, since nobody else can hear of it. */
void lost(std::exception_ptr failure) noexcept;

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr failure;
    /** The task was let go of before it finished: the coroutine frees itself at its end. */
    bool detached = false;

    PromiseBase() { ++unfinishedCount(); }
    std::suspend_never initial_suspend() noexcept { return {}; }
    struct Final {
        bool await_ready() const noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept
        {
            PromiseBase& promise = self.promise();
            --unfinishedCount();
            if (promise.continuation)
                return promise.continuation;
            if (promise.detached) {
                if (promise.failure)
                    lost(promise.failure);
                self.destroy();
            }
            return std::noop_coroutine();
        }
        void await_resume() const noexcept { }
    };
    Final final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { failure = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    template <class U>
    void return_value(U&& v)
    {
        value.emplace(std::forward<U>(v));
    }
    T take()
    {
        if (failure)
            std::rethrow_exception(failure);
        return std::move(*value);
    }
};

template <>
struct Promise<void> : PromiseBase {
    void return_void() noexcept { }
    void take()
    {
        if (failure)
            std::rethrow_exception(failure);
    }
};

} // namespace detail

/**
 * A coroutine that starts at once and runs until it first waits. Awaiting it
 * gives its value or throws what it threw. A task let go of unfinished goes on
 * alone: that is how a button's handler runs.
 */
template <class T = void>
class Task {
public:
    struct promise_type : detail::Promise<T> {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    };

    /** No coroutine: done at once. */
    Task() = default;
    Task(Task&& other) noexcept : m_handle(std::exchange(other.m_handle, {})) { }
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            release();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    ~Task() { release(); }

    bool done() const { return !m_handle || m_handle.done(); }
    /** The value of a finished task (or what it threw). */
    T result() { return m_handle.promise().take(); }

    auto operator co_await() noexcept
    {
        struct Awaiter {
            std::coroutine_handle<promise_type> handle;
            bool await_ready() const noexcept { return handle.done(); }
            void await_suspend(std::coroutine_handle<> waiting) noexcept { handle.promise().continuation = waiting; }
            T await_resume() { return handle.promise().take(); }
        };
        return Awaiter{m_handle};
    }

private:
    explicit Task(std::coroutine_handle<promise_type> handle) : m_handle(handle) { }
    void release()
    {
        if (!m_handle)
            return;
        if (m_handle.done())
            m_handle.destroy();
        else
            m_handle.promise().detached = true;
        m_handle = {};
    }

    std::coroutine_handle<promise_type> m_handle;
};

namespace detail {

/**
 * One suspended coroutine, resumed on the window's thread by whichever comes
 * first: its work, its time limit, or the end of the program.
 */
class Wakeup : public std::enable_shared_from_this<Wakeup> {
public:
    enum Why { Waiting, Done, OutOfTime, Ended };

    /**
     * Suspends `handle` until a wake; `limit` 0 has none; `watchEnd` wakes it
     * when the program ends. False, suspending nothing, when the work is over.
     */
    bool suspend(std::coroutine_handle<> handle, std::chrono::milliseconds limit, bool watchEnd);
    /** From any thread: resumes the coroutine from the event loop, unless something woke it first. */
    void post(Why why);
    Why why() const { return m_why; }
    /** From the worker's thread: the work is over. True when a coroutine waits for it: then post(Done). */
    bool finish();
    /** Whether the work is over within `wait`, blocking until it is or the wait has passed. */
    bool finishedWithin(std::chrono::milliseconds wait);

private:
    void wake(Why why);

    std::mutex m_lock;
    std::condition_variable m_finishing;
    bool m_finished = false;
    std::coroutine_handle<> m_handle;
    Why m_why = Waiting;
    int m_endWatch = 0;
};

/**
 * Awaits `wakeup`, then throws ProgramEnded or the time-out as it says. Made
 * by suspend() only: GCC 12 destroys an awaiter built in braces in the
 * co_await expression itself twice, and then what it holds would be let go of
 * twice.
 */
struct Suspension {
    std::shared_ptr<Wakeup> wakeup;
    std::chrono::milliseconds limit{0};
    bool watchEnd = true;
    const QString* limitWords = nullptr;

    ~Suspension() { wakeup.reset(); }
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> handle) { return wakeup->suspend(handle, limit, watchEnd); }
    void await_resume() const;
};

inline Suspension suspend(
    std::shared_ptr<Wakeup> wakeup, std::chrono::milliseconds limit, bool watchEnd, const QString* limitWords = nullptr)
{
    return Suspension{std::move(wakeup), limit, watchEnd, limitWords};
}

/** What a worker thread hands back. Written before the worker posts its wake, read after it. */
template <class R>
struct Outcome {
    std::optional<R> value;
    std::exception_ptr failure;
    void run(const std::function<R()>& work) { value.emplace(work()); }
    R take()
    {
        if (failure)
            std::rethrow_exception(failure);
        return std::move(*value);
    }
};

template <>
struct Outcome<void> {
    std::exception_ptr failure;
    void run(const std::function<void()>& work) { work(); }
    void take()
    {
        if (failure)
            std::rethrow_exception(failure);
    }
};

/** Runs `job` on a thread of the program's own pool; nobody waits for the thread. */
void startThread(std::function<void()> job);

} // namespace detail

/**
 * Gives the event loop one turn: what waits (painting, a click, a timer) is
 * handled, then the coroutine goes on. Throws ProgramEnded when the program
 * ended meanwhile.
 */
detail::Suspension nextTurn();

/**
 * Runs `work` on a thread of its own and gives back what it returns or
 * throws. When `limit` (0: none) passes first, quorvane::Error(TimedOut,
 * `limitWords`) is thrown and the work is left to finish alone, so it must
 * own everything it touches (capture by value). When the program ends
 * meanwhile, ProgramEnded is thrown at once.
 */
template <class R>
Task<R> offThread(std::function<R()> work, std::chrono::milliseconds limit = {}, QString limitWords = {})
{
    auto outcome = std::make_shared<detail::Outcome<R>>();
    auto wakeup = std::make_shared<detail::Wakeup>();
    detail::startThread([outcome, wakeup, work = std::move(work)] {
        try {
            outcome->run(work);
        } catch (...) {
            outcome->failure = std::current_exception();
        }
        if (wakeup->finish())
            wakeup->post(detail::Wakeup::Done);
    });
    if (!wakeup->finishedWithin(BriefWait))
        co_await detail::suspend(wakeup, limit, true, &limitWords);
    co_return outcome->take();
}

/**
 * Runs `work` on a thread of its own and waits for it whatever happens, so it
 * may use what the caller owns. Throws what the work threw, or ProgramEnded
 * when the program ended meanwhile.
 */
Task<> wholly(std::function<void()> work);

/** Awaits `task` and answers what it threw, null when nothing; the program's end passes through. */
Task<std::exception_ptr> failureOf(Task<> task);

/** Throws `failure` unless it is null. */
inline void rethrow(const std::exception_ptr& failure)
{
    if (failure)
        std::rethrow_exception(failure);
}

/**
 * A wake-up that other threads give and the window's thread awaits: "rows
 * have arrived", "the writer has room". One that comes while nobody waits is
 * kept for the next wait, so none is lost between a look and a wait.
 */
class Signal {
public:
    Signal();
    /** Any thread. */
    void notify();
    /** Resumes after the next notify (at once when one is kept); throws ProgramEnded when the program ends. */
    struct Awaiter {
        Signal& signal;
        std::shared_ptr<detail::Wakeup> wakeup;
        ~Awaiter() { wakeup.reset(); }
        bool await_ready();
        bool await_suspend(std::coroutine_handle<> handle);
        void await_resume() const;
    };
    Awaiter next() { return Awaiter{*this, nullptr}; }

private:
    struct State {
        std::mutex lock;
        std::condition_variable given;
        bool kept = false;
        std::shared_ptr<detail::Wakeup> waiting;
    };
    std::shared_ptr<State> m_state;
};

/** Sets a flag for as long as it lives, whatever passes. */
class BusyFlag {
public:
    explicit BusyFlag(bool& flag) : m_flag(flag) { m_flag = true; }
    ~BusyFlag() { m_flag = false; }
    BusyFlag(const BusyFlag&) = delete;
    BusyFlag& operator=(const BusyFlag&) = delete;

private:
    bool& m_flag;
};

} // namespace Async
