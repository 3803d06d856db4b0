#include "platform/keyring/Keyring.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <qt6keychain/keychain.h>

namespace Keyring {

namespace {

/**
 * The window waits for every call. One that has not answered by then is
 * taken as no keyring: a locked one whose unlock prompt the user leaves open.
 */
constexpr int TimeLimitMs = 5000;

/**
 * Runs one call to its end. Input waits meanwhile, so that no keystroke is
 * handled while the one before is still being saved. A job still running at
 * the time limit is left to delete itself when it ends: the keyring's callback
 * still points at it. QtKeychain's fallback to a plain file is never used.
 */
Reply run(std::unique_ptr<QKeychain::Job> job, const QString& key)
{
    if (!QCoreApplication::instance())
        return {Reply::Outcome::Failed, {}, QStringLiteral("there is no event loop to wait for it in")};
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(key);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(job.get(), &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(TimeLimitMs, &loop, &QEventLoop::quit);
    job->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!finished) {
        job.release()->setAutoDelete(true);
        return {
            Reply::Outcome::Failed, {}, QStringLiteral("it did not answer within %1 seconds").arg(TimeLimitMs / 1000)};
    }
    if (job->error() == QKeychain::EntryNotFound)
        return {Reply::Outcome::NotFound, {}, {}};
    if (job->error() != QKeychain::NoError)
        return {Reply::Outcome::Failed, {}, job->errorString()};
    Reply reply{Reply::Outcome::Done, {}, {}};
    if (const auto* reading = qobject_cast<QKeychain::ReadPasswordJob*>(job.get()))
        reply.secret = reading->textData();
    return reply;
}

} // namespace

Reply read(const QString& service, const QString& key)
{
    return run(std::make_unique<QKeychain::ReadPasswordJob>(service), key);
}

Reply write(const QString& service, const QString& key, const QString& secret)
{
    auto job = std::make_unique<QKeychain::WritePasswordJob>(service);
    job->setTextData(secret);
    return run(std::move(job), key);
}

} // namespace Keyring
