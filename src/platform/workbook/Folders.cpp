// The private folders of the model and the named files in them.

#include "platform/workbook/ModelParts.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace xl {

namespace {

/** What is wrong with a private folder: the error the model throws, and the same in plain words. */
struct FolderIssue {
    long number;
    QString description;
    FolderProblem problem;
};

/** "Permission denied" as it reads after a colon: "permission denied". */
QString lowerFirst(QString words)
{
    if (words.size() > 1 && words.at(1).isLower())
        words[0] = words.at(0).toLower();
    return words;
}

/**
 * Creates the folder and its missing parents for the user alone, and checks it; nothing when it can be used.
 * A folder of the user's own (the one among the documents) is taken with the mode it has: the user may have
 * opened it to others on purpose. The scratch folder is always made private again.
 */
std::optional<FolderIssue> privateFolderIssue(const QString& folder, FolderUse use)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(folder));
    auto issue = [&](long number, const QString& description, const QString& reason) {
        return FolderIssue{number, description, FolderProblem{folder, reason}};
    };
    for (qsizetype slash = path.indexOf('/', 1);; slash = path.indexOf('/', slash + 1)) {
        const QByteArray part = slash < 0 ? path : path.left(slash);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            const QString name = QFile::decodeName(part);
            return issue(error, QStringLiteral("Cannot create the folder %1: %2").arg(name, systemWords(error)),
                slash < 0 ? lowerFirst(systemWords(error))
                          : QStringLiteral("the folder %1 cannot be created (%2)").arg(name, systemWords(error)));
        }
        if (slash < 0)
            break;
    }
    const QString cannotUse = QStringLiteral("Cannot use the folder %1").arg(folder);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        const int error = errno;
        return issue(error, cannotUse + QStringLiteral(": ") + systemWords(error), lowerFirst(systemWords(error)));
    }
    if (!S_ISDIR(st.st_mode)) {
        // Whatever stands at the path in place of the folder: a link planted
        // there could lead the workbooks to someone else's folder.
        const QString what = S_ISLNK(st.st_mode) ? QStringLiteral("it is a symbolic link, not a folder")
            : S_ISREG(st.st_mode)                ? QStringLiteral("it is a file, not a folder")
                                                 : QStringLiteral("it is not a folder");
        return issue(ENOTDIR, cannotUse + QStringLiteral(": ") + systemWords(ENOTDIR), what);
    }
    if (st.st_uid != ::geteuid())
        return issue(EPERM, cannotUse + QStringLiteral(": it belongs to another user"),
            QStringLiteral("it belongs to another user"));
    if (use == FolderUse::AsItIs) {
        if (::access(path.constData(), W_OK | X_OK) != 0) {
            const int error = errno;
            return issue(error, cannotUse + QStringLiteral(": ") + systemWords(error),
                QStringLiteral("it cannot be written to (%1)").arg(lowerFirst(systemWords(error))));
        }
        return std::nullopt;
    }
    if ((st.st_mode & 07777) != 0700 && ::chmod(path.constData(), 0700) != 0) {
        const int error = errno;
        return issue(error, QStringLiteral("Cannot make the folder %1 private: %2").arg(folder, systemWords(error)),
            QStringLiteral("it cannot be made private (%1)").arg(systemWords(error)));
    }
    return std::nullopt;
}

/** $XDG_CACHE_HOME, or ~/.cache when it is unset or not absolute. */
QString cacheHome()
{
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache))
        return QDir::homePath() + QStringLiteral("/.cache");
    return QDir::cleanPath(cache);
}

/** An existing folder, followed through links (the user's documents folder may well be one). */
bool isFolder(const QString& path)
{
    struct stat st;
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

/**
 * Where the user keeps documents: the folder the desktop's user-dirs.dirs
 * names, else ~/Documents, else the home folder. Qt reads that file itself,
 * with no program to run, and answers the home folder, or ~/Documents, when
 * nothing is configured; the home folder says nothing about documents, so
 * ~/Documents is looked at then.
 */
QString documentsFolder()
{
    const QString home = QDir::cleanPath(QDir::homePath());
    const QString named = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (QDir::isAbsolutePath(named) && QDir::cleanPath(named) != home && isFolder(named))
        return QDir::cleanPath(named);
    const QString documents = home + QStringLiteral("/Documents");
    return isFolder(documents) ? documents : home;
}

/** A name the model gives a workbook while it writes it. */
bool isPartName(std::string_view name)
{
    constexpr std::string_view suffix = ".xlsx.part";
    return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

/**
 * The named files that writes in progress have made. The thread that writes a
 * file adds and removes its own, while the window's thread may take them all
 * when the program ends at once, so every use goes through the lock.
 */
std::mutex unfinishedLock;
std::vector<QByteArray> unfinished;

void addUnfinished(const QByteArray& path)
{
    const std::lock_guard<std::mutex> hold(unfinishedLock);
    unfinished.push_back(path);
}

void removeUnfinished(const QByteArray& path)
{
    const std::lock_guard<std::mutex> hold(unfinishedLock);
    unfinished.erase(std::remove(unfinished.begin(), unfinished.end(), path), unfinished.end());
}

std::vector<QByteArray> takeUnfinished()
{
    const std::lock_guard<std::mutex> hold(unfinishedLock);
    return std::exchange(unfinished, {});
}

} // namespace

void ensurePrivateFolder(const QString& folder, FolderUse use)
{
    if (const auto issue = privateFolderIssue(folder, use))
        failStorage(issue->number, issue->description);
}

FileGuard::FileGuard(QByteArray path) : m_path(std::move(path))
{
    addUnfinished(m_path);
}

FileGuard::~FileGuard()
{
    if (!m_path.isEmpty())
        ::unlink(m_path.constData());
    forget();
}

void FileGuard::keep()
{
    forget();
    m_path.clear();
}

void FileGuard::forget()
{
    removeUnfinished(m_path);
}

std::optional<FolderProblem> Application::folderProblem(const QString& folder)
{
    if (auto issue = privateFolderIssue(folder, FolderUse::AsItIs))
        return issue->problem;
    if (auto issue = privateFolderIssue(scratchFolder(), FolderUse::MakePrivate))
        return issue->problem;
    return std::nullopt;
}

QString Application::workbookFolder()
{
    const QString documents = documentsFolder();
    return (documents == QLatin1String("/") ? QString() : documents) + QStringLiteral("/Quorvane");
}

QString Application::scratchFolder()
{
    return cacheHome() + QStringLiteral("/quorvane/scratch");
}

void Application::discardUnfinishedFiles()
{
    for (const QByteArray& path : takeUnfinished())
        ::unlink(path.constData());
}

void Application::removeAbandonedFiles(const QString& folder)
{
    // Only in a folder that is really ours: never through a link, never in
    // someone else's folder (the start-up check reports those).
    const UniqueFd dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (dir.get() < 0 || ::fstat(dir.get(), &info) != 0 || info.st_uid != ::geteuid())
        return;
    const int listed = ::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0);
    DIR* listing = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!listing) {
        if (listed >= 0)
            ::close(listed);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing))
        if (isPartName(entry->d_name))
            names.emplace_back(entry->d_name);
    ::closedir(listing);

    // A writer locks its ".part" file from the moment it creates it until the
    // finished workbook has its name (Application::writeAndOpen), and the system
    // drops the lock when the writer ends, however it ends. So a file nobody
    // holds a lock on is one that no running instance will finish. The lock
    // decides rather than the file's age: a large workbook may be packed for
    // minutes before its file grows at all.
    for (const std::string& name : names) {
        const UniqueFd file(
            ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat opened, named;
        if (file.get() < 0 || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)
            || opened.st_uid != ::geteuid())
            continue;
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
            continue; // being written
        // Still the file that was checked under that name.
        if (::fstatat(dir.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev
            && named.st_ino == opened.st_ino)
            ::unlinkat(dir.get(), name.c_str(), 0);
    }
}

} // namespace xl
