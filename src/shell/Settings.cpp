#include "shell/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <sys/stat.h>

namespace Settings {
namespace {
const QString Section = QStringLiteral("Quorvane");

std::function<void(Key, const QString&)> g_observer;

void keepPrivate(const QString& path)
{
    ::chmod(QFile::encodeName(path).constData(), 0600);
}
} // namespace

const KeyInfo& info(Key key)
{
    for (const KeyInfo& k : Keys)
        if (k.key == key)
            return k;
    return Keys[0];
}

QString filePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Brantlow/Brantlow.ini");
}

QString read(Key key)
{
    const KeyInfo& k = info(key);
    QSettings store(filePath(), QSettings::IniFormat);
    return store.value(Section + QLatin1Char('/') + QLatin1String(k.name), QString::fromUtf8(k.defaultValue))
        .toString();
}

void save(Key key, const QString& value)
{
    const QString path = filePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // The file is written through a temporary file and renamed; a tight umask
    // makes the new file private from its first byte.
    const mode_t previous = ::umask(077);
    {
        QSettings store(path, QSettings::IniFormat);
        store.setValue(Section + QLatin1Char('/') + QLatin1String(info(key).name), value);
        store.sync();
    }
    ::umask(previous);
    keepPrivate(path);
    if (g_observer)
        g_observer(key, value);
}

void setSaveObserver(std::function<void(Key, const QString&)> observer)
{
    g_observer = std::move(observer);
}

} // namespace Settings
