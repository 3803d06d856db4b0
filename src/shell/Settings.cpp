#include "shell/Settings.h"

#include "platform/ui/MsgBox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace Settings {
namespace {
const QString Section = QStringLiteral("Quorvane");

std::function<void(Key, const QString&)> g_observer;

// Set once a failed save has been reported; a save that succeeds clears it.
bool g_failureReported = false;

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

/**
 * Why the store must leave alone what stands at its path, or nothing when it
 * is the user's own regular file. Links, folders, fifos and devices may be
 * anything of the user's; a file of another user (the program run as root
 * with the user's environment) would be taken over by a save.
 */
QString refusal(const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("Is a symbolic link");
    if (S_ISDIR(st.st_mode))
        return systemWords(EISDIR);
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("Not a regular file");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("Owned by another user");
    return {};
}

/** The same for the path itself; a path that does not exist yet is free. */
QString refusal(const QByteArray& file, bool* exists = nullptr)
{
    struct stat st;
    const bool found = ::lstat(file.constData(), &st) == 0;
    const int error = errno;
    if (exists)
        *exists = found;
    if (!found)
        return error == ENOENT ? QString() : systemWords(error);
    return refusal(st);
}

/**
 * Narrows the user's own settings file to 0600. It goes through a descriptor
 * opened without following links, so whatever took the file's place since it
 * was looked at is not changed. A file the user has made read-only fails to
 * open for writing here and keeps its mode.
 */
QString keepPrivate(const QByteArray& file)
{
    const int fd = ::open(file.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? QStringLiteral("Is a symbolic link") : systemWords(errno);
    struct stat st;
    QString why;
    if (::fstat(fd, &st) != 0)
        why = systemWords(errno);
    else
        why = refusal(st);
    if (why.isEmpty() && (st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)
        why = systemWords(errno);
    ::close(fd);
    return why;
}

/**
 * QSettings tells only that it could not write. It writes a new file beside
 * the old one and renames it; doing the same with about as many bytes gives
 * the system's words for what stopped it (no right to the folder, a full disk).
 */
QString whyNotWritten(const QString& folder, qint64 bytes)
{
    QByteArray probe = QFile::encodeName(folder) + "/.Brantlow.ini.XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        return systemWords(errno);
    const QByteArray filler(qMax<qint64>(bytes, 1), '\n');
    int error = 0;
    for (qint64 done = 0; done < filler.size() && !error;) {
        const ssize_t n = ::write(fd, filler.constData() + done, size_t(filler.size() - done));
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0)
            done += n;
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    ::unlink(probe.constData());
    return error ? systemWords(error) : QStringLiteral("An access error occurred");
}

/** Writes one value; answers why it could not, or nothing. */
QString write(const QString& path, Key key, const QString& value)
{
    const QByteArray file = QFile::encodeName(path);
    const QString folder = QFileInfo(path).absolutePath();
    bool exists = false;
    if (QString why = refusal(file, &exists); !why.isEmpty())
        return why;
    if (exists) {
        // The new file copies the old one's mode: narrow it before the password goes in.
        if (QString why = keepPrivate(file); !why.isEmpty())
            return why;
    } else {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
        if (error)
            return QString::fromLocal8Bit(error.message());
    }

    // A tight umask makes a new file private from its first byte.
    const mode_t previous = ::umask(077);
    QSettings::Status status;
    {
        QSettings store(path, QSettings::IniFormat);
        store.setValue(Section + QLatin1Char('/') + QLatin1String(info(key).name), value);
        store.sync();
        status = store.status();
    }
    ::umask(previous);
    // A format error is about what was read; the value was still written.
    if (status == QSettings::AccessError) {
        // The file as it was with the value added, each character escaped at worst.
        const qint64 bytes = QFileInfo(path).size() + Section.size() + qstrlen(info(key).name) + 6 * value.size() + 8;
        return whyNotWritten(folder, bytes);
    }
    return keepPrivate(file);
}

/** One box per run of failures: typing goes on without a box per keystroke. */
void reportFailure(const QString& path, const QString& why)
{
    if (g_failureReported)
        return;
    g_failureReported = true;
    MsgBox::show(QStringLiteral("The settings could not be saved to %1: %2.").arg(path, why), MsgBox::OkOnly);
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
    const QString fallback = QString::fromUtf8(k.defaultValue);
    const QString path = filePath();
    // Opening a fifo would wait for a writer; a link may lead to anyone's file.
    if (!refusal(QFile::encodeName(path)).isEmpty())
        return fallback;
    QSettings store(path, QSettings::IniFormat);
    return store.value(Section + QLatin1Char('/') + QLatin1String(k.name), fallback).toString();
}

void save(Key key, const QString& value)
{
    const QString path = filePath();
    const QString why = write(path, key, value);
    if (why.isEmpty())
        g_failureReported = false;
    else
        reportFailure(path, why);
    if (g_observer)
        g_observer(key, value);
}

void setSaveObserver(std::function<void(Key, const QString&)> observer)
{
    g_observer = std::move(observer);
}

void resetFailureReport()
{
    g_failureReported = false;
}

} // namespace Settings
