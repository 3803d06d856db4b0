#include "shell/Settings.h"

#include "platform/Error.h"
#include "platform/keyring/Keyring.h"
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
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace Settings {
namespace {
const QString Section = QStringLiteral("Quorvane");

std::function<void(Key, const QString&)> g_observer;

// Set once a failed save has been reported; a save that succeeds clears it.
bool g_failureReported = false;

// The keyring entry of the password: one for the program, following the field as typed.
const QString KeyringService = QStringLiteral("Quorvane");

// The keyring's words for the first call that failed in this run. From then on
// the password stays in the file, so that no keystroke waits on the keyring again.
std::optional<QString> g_keyringFailure;

// Set once the user has been told that the password is kept in the file.
bool g_fileNoticeShown = false;

using quorvane::systemWords;

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

/** Writes one value, or removes it when there is none; answers why it could not, or nothing. */
QString write(const QString& path, Key key, const std::optional<QString>& value)
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
        const QString name = Section + QLatin1Char('/') + QLatin1String(info(key).name);
        if (value)
            store.setValue(name, *value);
        else
            store.remove(name);
        store.sync();
        status = store.status();
    }
    ::umask(previous);
    // A format error is about what was read; the value was still written.
    if (status == QSettings::AccessError) {
        // The file as it was with the value added, each character escaped at worst.
        const qint64 bytes = QFileInfo(path).size() + Section.size() + qstrlen(info(key).name)
            + 6 * value.value_or(QString()).size() + 8;
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

/** What the file holds for a key, if anything; what may not be read counts as nothing. */
std::optional<QString> readFromFile(Key key)
{
    const QString path = filePath();
    // Opening a fifo would wait for a writer; a link may lead to anyone's file.
    if (!refusal(QFile::encodeName(path)).isEmpty())
        return std::nullopt;
    QSettings store(path, QSettings::IniFormat);
    const QVariant value = store.value(Section + QLatin1Char('/') + QLatin1String(info(key).name));
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

Keyring::Reply readKeyring()
{
    return Keyring::read(KeyringService, QLatin1String(info(Key::Password).name));
}

Keyring::Reply writeKeyring(const QString& password)
{
    return Keyring::write(KeyringService, QLatin1String(info(Key::Password).name), password);
}

bool keyringInUse()
{
    return !g_keyringFailure;
}

/** Keeps the words of the run's first keyring failure. */
void noteKeyringFailure(const QString& words)
{
    if (!g_keyringFailure)
        g_keyringFailure = words;
}

/** Answers whether the call failed, noting it if so. */
bool failed(const Keyring::Reply& reply)
{
    if (!reply.failed())
        return false;
    noteKeyringFailure(reply.words);
    return true;
}

/**
 * A password left in the file by an earlier run goes to the keyring. It
 * leaves the file only once the keyring gives the same back, so that a
 * keyring that loses it does not lose it for the user.
 */
QString moveIntoKeyring(const QString& password)
{
    if (failed(writeKeyring(password)))
        return password;
    const Keyring::Reply readBack = readKeyring();
    if (failed(readBack))
        return password;
    if (readBack.secret != password)
        noteKeyringFailure(QStringLiteral("it gave back another password than the one stored"));
    else
        write(filePath(), Key::Password, std::nullopt);
    return password;
}

QString readPassword(const QString& fallback)
{
    const std::optional<QString> inFile = readFromFile(Key::Password);
    if (!keyringInUse())
        return inFile.value_or(fallback);
    if (inFile)
        return moveIntoKeyring(*inFile);
    const Keyring::Reply reply = readKeyring();
    if (reply.outcome == Keyring::Reply::Outcome::NotFound || failed(reply))
        return fallback;
    return reply.secret;
}

/** Tells once per run that the password is kept in the file, and why the keyring did not take it. */
void noticeFileKeepsPassword(const QString& path)
{
    if (g_fileNoticeShown)
        return;
    g_fileNoticeShown = true;
    MsgBox::show(QStringLiteral("The desktop's keyring could not store the password (%1), so it is kept in %2, "
                                "readable by you only.")
                     .arg(g_keyringFailure.value_or(QString()), path),
        MsgBox::Exclamation);
}

/**
 * The password goes to the keyring, and any copy an earlier run left in the
 * file goes. Without a keyring it goes to the file, and the user hears of it
 * when the file first takes a password it did not hold: reading the stored
 * one at start and writing it back unchanged tells nothing new.
 */
QString savePassword(const QString& path, const QString& value)
{
    if (keyringInUse() && !failed(writeKeyring(value)))
        return readFromFile(Key::Password) ? write(path, Key::Password, std::nullopt) : QString();
    const std::optional<QString> before = readFromFile(Key::Password);
    const QString why = write(path, Key::Password, value);
    if (why.isEmpty() && !value.isEmpty() && before != value)
        noticeFileKeepsPassword(path);
    return why;
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
    const QString fallback = QString::fromUtf8(info(key).defaultValue);
    if (key == Key::Password)
        return readPassword(fallback);
    return readFromFile(key).value_or(fallback);
}

void save(Key key, const QString& value)
{
    const QString path = filePath();
    const QString why = key == Key::Password ? savePassword(path, value) : write(path, key, value);
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
    g_keyringFailure.reset();
    g_fileNoticeShown = false;
}

} // namespace Settings
