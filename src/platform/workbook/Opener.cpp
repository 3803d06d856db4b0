// Handing a file to the desktop: xdg-open opens it in the user's default
// application. The one way the opener is called serves two starts: a plain
// one that only needs it to start (the example picture of the help), and a
// watched one for a written workbook, whose failure is only known when the
// opener ends and is then told to whoever listens.

#include "platform/workbook/Opener.h"

#include "platform/Error.h"
#include "platform/workbook/ModelParts.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QThread>

#include <atomic>

namespace {

/** xdg-open with the path as its own argument (no shell), nothing to read, its output where ours goes. */
void prepareOpener(QProcess& opener, const QString& path)
{
    opener.setProgram(QStringLiteral("xdg-open"));
    opener.setArguments({path});
    opener.setStandardInputFile(QProcess::nullDevice());
    // No pipe that breaks if this program ends first.
    opener.setProcessChannelMode(QProcess::ForwardedChannels);
}

} // namespace

void OpenWithDefaultApplication(const QString& path)
{
    QProcess opener;
    prepareOpener(opener, path);
    if (!opener.startDetached())
        throw quorvane::Error(53, QStringLiteral("Cannot start xdg-open to open %1").arg(path));
}

namespace xl {

namespace {

Q_LOGGING_CATEGORY(lcOpener, "quorvane.workbook.opener")

std::function<void(const QString&, const QString&)>& openFailureHandler()
{
    static std::function<void(const QString&, const QString&)> handler;
    return handler;
}

/** Counted from the request on, so one still queued for the event loop is included. */
std::atomic<int> runningOpeners{0};

void reportOpenFailure(const QString& path, const QString& why)
{
    if (openFailureHandler())
        openFailureHandler()(path, why);
    else
        qCWarning(lcOpener) << "could not open" << path << "-" << why;
}

/** What xdg-open's own exit statuses mean. */
QString openerStatusWords(int status)
{
    switch (status) {
    case 1:
        return QStringLiteral("it did not understand its command line");
    case 2:
        return QStringLiteral("it did not find the file");
    case 3:
        return QStringLiteral("a program it needs is missing");
    case 4:
        return QStringLiteral("the action failed");
    default:
        return QStringLiteral("an error");
    }
}

/** The opener is over: it goes, and what went wrong, if anything, is told. */
void openerEnded(QProcess* opener, const QString& path, const QString& failure)
{
    opener->deleteLater();
    --runningOpeners;
    if (!failure.isEmpty())
        reportOpenFailure(path, failure);
}

/** Why an opener that ran to its end failed, or nothing when it did not. */
QString endFailure(int code, QProcess::ExitStatus status)
{
    if (status == QProcess::CrashExit)
        return QStringLiteral("xdg-open stopped abnormally");
    if (code != 0)
        return QStringLiteral("xdg-open ended with status %1 (%2)").arg(code).arg(openerStatusWords(code));
    return {};
}

void startOpener(const QString& path)
{
    // Not owned by the Application: the opener may still run when the
    // workbook's Application is long gone. It deletes itself once it is over.
    auto* opener = new QProcess;
    prepareOpener(*opener, path);
    // Queued, so that the handler always runs from the event loop, never
    // from inside writeAndOpen (a process that cannot start is told at once).
    QObject::connect(
        opener, &QProcess::errorOccurred, opener,
        [opener, path](QProcess::ProcessError error) {
            // Any other error is followed by `finished`.
            if (error == QProcess::FailedToStart)
                openerEnded(
                    opener, path, QStringLiteral("xdg-open could not be started (%1)").arg(opener->errorString()));
        },
        Qt::QueuedConnection);
    QObject::connect(
        opener, &QProcess::finished, opener,
        [opener, path](int code, QProcess::ExitStatus status) { openerEnded(opener, path, endFailure(code, status)); },
        Qt::QueuedConnection);
    opener->start();
}

} // namespace

void openInDesktop(const QString& path)
{
    // The process and its notifications belong to a thread with an event
    // loop: the application's. writeAndOpen may run on a worker thread that
    // ends right after.
    ++runningOpeners;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        startOpener(path);
    else
        QMetaObject::invokeMethod(
            app, [path] { startOpener(path); }, Qt::QueuedConnection);
}

int Application::openersRunning()
{
    return runningOpeners;
}

void Application::setOpenFailureHandler(std::function<void(const QString& path, const QString& why)> handler)
{
    openFailureHandler() = std::move(handler);
}

} // namespace xl
