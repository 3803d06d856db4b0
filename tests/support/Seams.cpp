#include "Seams.h"

#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/Main.h"
#include "shell/Settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTest>
#include <QThread>

#include <csignal>

BoxRecorder::BoxRecorder()
{
    MsgBox::setHandler([this](const MsgBox::Record& record) {
        boxes << record;
        if (whileOpen)
            whileOpen(record);
        if (!answers.isEmpty())
            return answers.takeFirst();
        if ((record.style & 7) == MsgBox::YesNo && defaultAnswer == MsgBox::Ok)
            return int(MsgBox::Yes);
        return defaultAnswer;
    });
}

BoxRecorder::~BoxRecorder()
{
    MsgBox::resetHandler();
}

QStringList BoxRecorder::texts() const
{
    QStringList list;
    for (const auto& b : boxes)
        list << b.text;
    return list;
}

EndRecorder::EndRecorder()
{
    ProgramEnd::setHandler([this] { ++count; });
}

EndRecorder::~EndRecorder()
{
    ProgramEnd::reset();
}

TempSettings::TempSettings() : m_previous(qgetenv("XDG_CONFIG_HOME"))
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
    if (qgetenv("QUORVANE_PRIVATE_KEYRING") != "1") {
        if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            m_previousBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    }
    Settings::resetFailureReport();
}

TempSettings::~TempSettings()
{
    qputenv("XDG_CONFIG_HOME", m_previous);
    if (m_previousBus)
        qputenv("DBUS_SESSION_BUS_ADDRESS", *m_previousBus);
    else if (qgetenv("QUORVANE_PRIVATE_KEYRING") != "1")
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

QString TempSettings::filePath() const
{
    return m_dir.path() + QStringLiteral("/Brantlow/Brantlow.ini");
}

QString TempSettings::folder() const
{
    return m_dir.path() + QStringLiteral("/Brantlow");
}

void TempSettings::write(const QString& key, const QString& value)
{
    QDir().mkpath(m_dir.path() + QStringLiteral("/Brantlow"));
    QSettings store(filePath(), QSettings::IniFormat);
    store.setValue(QStringLiteral("Quorvane/") + key, value);
}

std::optional<QString> TempSettings::stored(const QString& key) const
{
    QSettings store(filePath(), QSettings::IniFormat);
    const QVariant v = store.value(QStringLiteral("Quorvane/") + key);
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

// A blank in the home folder's path, as some users have, which helpers of the
// desktop written in shell have been seen to trip over.
PrivateHome::PrivateHome()
    : m_dir(QDir::tempPath() + QStringLiteral("/quorvane home-XXXXXX"))
    , m_previousHome(qgetenv("HOME"))
    , m_previousConfig(qgetenv("XDG_CONFIG_HOME"))
{
    QDir().mkpath(path() + QStringLiteral("/Documents"));
    QDir().mkpath(path() + QStringLiteral("/.config"));
    qputenv("HOME", QFile::encodeName(path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path() + QStringLiteral("/.config")));
}

PrivateHome::~PrivateHome()
{
    qputenv("HOME", m_previousHome);
    qputenv("XDG_CONFIG_HOME", m_previousConfig);
}

void PrivateHome::setDocumentsSetting(const QString& value)
{
    QFile file(path() + QStringLiteral("/.config/user-dirs.dirs"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.write("XDG_DOCUMENTS_DIR=\"" + QFile::encodeName(value) + "\"\n");
}

TempAppFolder::TempAppFolder(const QString& name)
{
    m_path = m_dir.path() + QLatin1Char('/') + name;
    QDir().mkpath(m_path);
    Main::SetApplicationFolder(m_path);
}

TempAppFolder::~TempAppFolder()
{
    Main::SetApplicationFolder(QString());
}

void TempAppFolder::addAsset(const QString& relative)
{
    QFile source(QStringLiteral(QUORVANE_SOURCE_DIR "/assets/") + relative);
    if (!source.open(QIODevice::ReadOnly))
        qFatal("missing asset %s", qPrintable(relative));
    writeFile(relative, source.readAll());
}

void TempAppFolder::writeFile(const QString& relative, const QByteArray& content)
{
    const QString target = m_path + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(target));
    file.write(content);
}

DesktopStandIns::DesktopStandIns(bool spreadsheetApplication) : m_previousPath(qgetenv("PATH"))
{
    writeScript(QStringLiteral("xdg-open"), openerScript(0));
    writeScript(QStringLiteral("xdg-mime"), spreadsheetApplication ? "echo libreoffice-calc.desktop\n" : "exit 0\n");
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ":" + m_previousPath);
}

void DesktopStandIns::writeScript(const QString& name, const QByteArray& body)
{
    QFile file(m_dir.path() + QLatin1Char('/') + name);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("#!/bin/sh\n" + body);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QByteArray DesktopStandIns::openerScript(int status) const
{
    const QString log = m_dir.path() + QStringLiteral("/xdg-open.log");
    // One record per call: the arguments, one per line, then a separator line.
    return "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; printf '%s\\n' '--'; } >> '" + QFile::encodeName(log)
        + "'\nexit " + QByteArray::number(status) + "\n";
}

void DesktopStandIns::setOpenerExitStatus(int status)
{
    writeScript(QStringLiteral("xdg-open"), openerScript(status));
}

void DesktopStandIns::removeOpener()
{
    QFile::remove(m_dir.path() + QStringLiteral("/xdg-open"));
    // The system's own xdg-open must not step in.
    qputenv("PATH", QFile::encodeName(m_dir.path()));
}

DesktopStandIns::~DesktopStandIns()
{
    // An opener of the last export may still be on its way: its script must
    // be there until it is over, and a failure it reports must not reach the
    // next test's boxes.
    QDeadlineTimer deadline(10000);
    while (xl::Application::openersRunning() > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    qputenv("PATH", m_previousPath);
}

QStringList DesktopStandIns::openCalls() const
{
    QFile file(m_dir.path() + QStringLiteral("/xdg-open.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList calls;
    QStringList current;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line == "--") {
            calls << current.join(QLatin1Char('\n'));
            current.clear();
        } else if (!line.isEmpty()) {
            current << QString::fromUtf8(line);
        }
    }
    return calls;
}

bool DesktopStandIns::waitForOpenCalls(int n, int milliseconds) const
{
    QDeadlineTimer deadline(milliseconds);
    while (openCalls().size() < n) {
        if (deadline.hasExpired())
            return false;
        // The workbook's opener is started from the event loop when the
        // workbook was written on a worker thread.
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    return true;
}

void Settle()
{
    QDeadlineTimer deadline(600000);
    while (Async::unfinished() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (Async::unfinished() > 0)
        qFatal("work started by a handler did not end");
}

void Click(QWidget* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
    Settle();
}

int OpenDescriptors()
{
    // The listing itself holds one while it runs.
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size())
        - 1;
}

OpenFileLimit::OpenFileLimit(rlim_t soft)
{
    ::getrlimit(RLIMIT_NOFILE, &m_previous);
    rlimit lowered = m_previous;
    lowered.rlim_cur = soft;
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0)
        qFatal("cannot lower the open-file limit to %llu", static_cast<unsigned long long>(soft));
}

OpenFileLimit::~OpenFileLimit()
{
    ::setrlimit(RLIMIT_NOFILE, &m_previous);
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) : m_previousHandler(std::signal(SIGXFSZ, SIG_IGN))
{
    ::getrlimit(RLIMIT_FSIZE, &m_previous);
    rlimit lowered = m_previous;
    lowered.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0)
        qFatal("cannot limit the file size to %llu", static_cast<unsigned long long>(bytes));
}

FileSizeLimit::~FileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &m_previous);
    std::signal(SIGXFSZ, m_previousHandler);
}
