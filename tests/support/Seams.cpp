#include "Seams.h"

#include "platform/ui/ProgramEnd.h"
#include "shell/Main.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

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
}

TempSettings::~TempSettings()
{
    qputenv("XDG_CONFIG_HOME", m_previous);
}

QString TempSettings::filePath() const
{
    return m_dir.path() + QStringLiteral("/Brantlow/Brantlow.ini");
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
    const QString log = m_dir.path() + QStringLiteral("/xdg-open.log");
    auto script = [&](const QString& name, const QByteArray& body) {
        QFile file(m_dir.path() + QLatin1Char('/') + name);
        file.open(QIODevice::WriteOnly);
        file.write("#!/bin/sh\n" + body);
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    };
    // One record per call: the arguments, one per line, then a separator line.
    script(QStringLiteral("xdg-open"),
        "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; printf '%s\\n' '--'; } >> '" + QFile::encodeName(log)
            + "'\n");
    script(QStringLiteral("xdg-mime"), spreadsheetApplication ? "echo libreoffice-calc.desktop\n" : "exit 0\n");
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ":" + m_previousPath);
}

DesktopStandIns::~DesktopStandIns()
{
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
        QThread::msleep(20);
    }
    return true;
}
