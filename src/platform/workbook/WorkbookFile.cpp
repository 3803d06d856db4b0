// Where a written workbook goes, and the writing of its file there.

#include "platform/workbook/WorkbookFile.h"

#include "platform/workbook/CellStream.h"
#include "platform/workbook/Failures.h"
#include "platform/workbook/Folders.h"
#include "platform/workbook/Package.h"
#include "platform/workbook/TempStore.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xl {

namespace {

/**
 * The database name as the first part of a file name. It is kept as it is,
 * but for what a file name cannot hold ("/" and NUL) and for leading dots,
 * which would hide the file. Cut short so that the whole name, with the time,
 * a number and the temporary name's dot and ".part", stays within the 255
 * bytes a file name may have.
 */
QString fileBaseName(const QString& documentName)
{
    QString base;
    qsizetype bytes = 0;
    for (const char32_t c : documentName.toUcs4()) {
        const QString character = c == U'/' || c == 0 ? QStringLiteral("_") : QString::fromUcs4(&c, 1);
        bytes += character.toUtf8().size();
        if (bytes > 200)
            break;
        base += character;
    }
    while (base.startsWith(QLatin1Char('.')))
        base.remove(0, 1);
    return base.trimmed().isEmpty() ? QStringLiteral("Workbook") : base;
}

/** A full disk or quota: a second attempt would only meet it again. */
bool isFull(long error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

/** Renames without replacing; false when the target exists. */
bool renameNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        failSystem(errno, QStringLiteral("Cannot put the workbook in place as %1").arg(QFile::decodeName(to)));
    // File systems without the flag: a hard link fails on an existing name as well.
    if (::link(from.constData(), to.constData()) != 0) {
        if (errno == EEXIST)
            return false;
        failSystem(errno, QStringLiteral("Cannot put the workbook in place as %1").arg(QFile::decodeName(to)));
    }
    ::unlink(from.constData());
    return true;
}

bool exists(const QByteArray& path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

/** "Northwind 2026-12-07 23.25.32.xlsx", then " (2)" and so on, in the workbook folder. */
struct WorkbookName {
    QString folder;
    QString base;
    int number = 1;

    QString fileName() const
    {
        return number == 1 ? base + QStringLiteral(".xlsx") : base + QStringLiteral(" (%1).xlsx").arg(number);
    }
    QByteArray target() const { return QFile::encodeName(folder + QLatin1Char('/') + fileName()); }
    /**
     * Hidden while it is written, beside the place it goes to, so that the
     * rename is one step on one file system and no half-written workbook
     * ever carries a name the user would open.
     */
    QByteArray part() const { return QFile::encodeName(folder + QStringLiteral("/.") + fileName()) + PartSuffix; }
};

/** Creates the ".part" file of the first free name from `name` on, locked in `lock`; answers its path. */
QByteArray createPartFile(WorkbookName& name, UniqueFd& lock)
{
    for (;; ++name.number) {
        if (exists(name.target()))
            continue;
        const QByteArray part = name.part();
        const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno != EEXIST)
                failSystem(errno, QStringLiteral("Cannot create the workbook file %1").arg(QFile::decodeName(part)));
            continue;
        }
        lock.reset(fd);
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!locked && errno != EWOULDBLOCK)
            return part; // a file system without locks: written unguarded, and never taken for abandoned
        struct stat mine, named;
        if (locked && ::fstat(fd, &mine) == 0 && ::stat(part.constData(), &named) == 0 && mine.st_dev == named.st_dev
            && mine.st_ino == named.st_ino)
            return part;
        // In the instant before the lock, a starting instance took the new
        // file for abandoned and is removing it: another name.
        lock.reset();
    }
}

/**
 * The file from the sheets packed as their cells streamed, and from the
 * cell store for the others. A failure other than a full disk is tried
 * once more with every sheet made from the cell store: what went wrong
 * may have been in what streamed.
 */
void writeFile(Workbook::Impl& wb, int fd, const QByteArray& part)
{
    try {
        return writePackage(wb, fd, part, wb.stream.get());
    } catch (const StorageError& e) {
        if (isFull(e.number()) || (wb.stream && !wb.stream->allKept()))
            throw;
        qWarning("%s; trying once more", qPrintable(e.description()));
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            throw;
    }
    writePackage(wb, fd, part, nullptr);
}

} // namespace

QString writeWorkbookFile(Workbook::Impl& wb, const QString& folder, const QString& documentName)
{
    // "Northwind 2026-12-07 23.25.32.xlsx": the user finds it among the
    // documents by the database and sorts a database's exports by time.
    WorkbookName name{folder,
        fileBaseName(documentName) + QLatin1Char(' ')
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"))};
    // Held until the workbook has its final name: the lock tells a starting
    // instance that this ".part" file is being written (removeAbandonedFiles).
    // Released after the guard below has removed a failed file, never before.
    UniqueFd lock;
    const QByteArray part = createPartFile(name, lock);
    FileGuard partGuard(part);
    writeFile(wb, lock.get(), part);
    if (::chmod(part.constData(), 0600) != 0)
        failSystem(errno, QStringLiteral("Cannot protect the workbook file %1").arg(QFile::decodeName(part)));
    QByteArray target = name.target();
    while (!renameNoReplace(part, target)) {
        ++name.number;
        target = name.target();
    }
    partGuard.keep();
    return QFile::decodeName(target);
}

} // namespace xl
