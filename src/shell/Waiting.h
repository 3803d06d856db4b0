#pragma once

// Long calls to the network or the disk run on a thread of their own while
// the window's thread goes on answering the user: the window repaints, can be
// moved and closed, and its other buttons work (each handler guards itself
// against being run twice at once).

#include "platform/Error.h"

#include <QString>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

/** The program ended while a handler waited: the handler leaves without another word. */
struct ProgramEnded { };

namespace Waiting {

/** The number a wait that ran out of time raises with (the classic "Timeout expired"). */
inline constexpr long TimedOut = quorvane::TimedOut;

namespace detail {

/** What the waiting thread and the worker share; it lives as long as either needs it. */
struct Shared {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr failure;
};

/**
 * Runs `job` on a new thread that nobody joins; what it throws is kept in
 * `shared`, which is marked done when it returns.
 */
void start(std::shared_ptr<Shared> shared, std::function<void()> job);

/**
 * Answers the window system until `shared` is done (true) or `limit` has
 * passed (false; 0 has no limit). Throws
 * ProgramEnded once the program has ended, unless `untilDone`, which waits
 * for the work all the same (it may be using what the caller owns) and
 * throws after.
 */
bool wait(Shared& shared, std::chrono::milliseconds limit, bool untilDone);

template <class R>
struct Result : Shared {
    std::optional<R> value;
};

} // namespace detail

/**
 * Runs `work` off the window's thread and answers what it gives back; what it
 * throws is thrown here. When `limit` passes first, quorvane::Error(TimedOut,
 * `limitWords`) is thrown and the work is left to finish alone, so it must
 * own everything it touches (capture by value). When the program ends
 * meanwhile, ProgramEnded is thrown at once.
 */
template <class R>
R offThread(std::function<R()> work, std::chrono::milliseconds limit, const QString& limitWords);

/**
 * Runs `work` off the window's thread and waits for it whatever happens, so it
 * may use what the caller owns. Throws what the work threw, or ProgramEnded
 * when the program ended meanwhile.
 */
void inPlace(const std::function<void()>& work);

[[noreturn]] void raiseTimedOut(const QString& words);

template <class R>
R offThread(std::function<R()> work, std::chrono::milliseconds limit, const QString& limitWords)
{
    auto shared = std::make_shared<detail::Result<R>>();
    // The value is set before the job is marked done, under the same lock.
    detail::start(shared, [result = shared.get(), work = std::move(work)] { result->value.emplace(work()); });
    if (!detail::wait(*shared, limit, false))
        raiseTimedOut(limitWords);
    const std::lock_guard<std::mutex> hold(shared->lock);
    if (shared->failure)
        std::rethrow_exception(shared->failure);
    return std::move(*shared->value);
}

} // namespace Waiting
