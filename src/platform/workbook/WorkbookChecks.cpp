// Whether a workbook can be written and shown at all: a trial workbook in the
// workbook folder, and an application the desktop names for .xlsx files.

#include "platform/workbook/CellStream.h"
#include "platform/workbook/Failures.h"
#include "platform/workbook/Folders.h"
#include "platform/workbook/ModelState.h"
#include "platform/workbook/Package.h"
#include "platform/workbook/TempStore.h"

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace xl {

namespace {

const char* const XlsxMimeType = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";

/** That a trial workbook cannot be written to the folder, with the system's words for `error` when not 0. */
FolderProblem trialProblem(const QString& folder, int error)
{
    const QString reason = QStringLiteral("a trial workbook cannot be written there");
    return FolderProblem{folder, error ? reason + QStringLiteral(" (%1)").arg(systemWords(error)) : reason};
}

/** Writes a workbook's worth of bytes; answers 0, or the errno of the write that failed (ENOSPC when it wrote nothing).
 */
int writeTrialBytes(int fd)
{
    const std::vector<char> bytes(64 * 1024);
    for (std::size_t written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        written += std::size_t(n);
    }
    return 0;
}

} // namespace

std::optional<FolderProblem> Application::trialWriteProblem(const QString& folder)
{
    try {
        const QString scratch = scratchFolder();
        ensurePrivateFolder(scratch, FolderUse::MakePrivate);
        auto store = std::make_unique<TempStore>(scratch);
        QByteArray probe = QFile::encodeName(folder) + "/.probe-XXXXXX";
        const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
        if (fd < 0)
            return trialProblem(folder, errno);
        FileGuard guard(probe);
        const UniqueFd file(fd);
        // A workbook's worth of bytes first, for the system's own words on a
        // full disk or quota; the writer's failure says less.
        if (const int error = writeTrialBytes(fd))
            return trialProblem(folder, error);
        // Then the same file made a tiny workbook by the writer itself.
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            return trialProblem(folder, errno);
        Workbook tiny(1);
        Workbook::Impl& wb = ModelAccess::of(tiny);
        wb.store = std::move(store);
        CellValue number;
        number.type = CellValue::Number;
        number.number = 1.5;
        tiny.worksheet(1)->write(1, 1, number);
        wb.flush();
        try {
            writePackage(wb, fd, probe, nullptr);
        } catch (const StorageError& e) {
            return trialProblem(folder, e.number() > 0 && e.number() < 4096 ? int(e.number()) : 0);
        }
    } catch (const quorvane::Error& e) {
        return FolderProblem{folder, e.description()};
    }
    return std::nullopt;
}

bool Application::canBeCreated(const QString& folder)
{
    try {
        ensurePrivateFolder(folder, FolderUse::AsItIs);
    } catch (const quorvane::Error&) {
        return false;
    }
    return !trialWriteProblem(folder) && spreadsheetApplicationNamed();
}

bool Application::spreadsheetApplicationNamed()
{
    QProcess query;
    query.start(QStringLiteral("xdg-mime"),
        {QStringLiteral("query"), QStringLiteral("default"), QString::fromLatin1(XlsxMimeType)});
    if (!query.waitForFinished(15000)) {
        query.kill();
        query.waitForFinished(1000);
        return false;
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return false;
    const QString entry = QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
    return entry.endsWith(QLatin1String(".desktop")) && !entry.contains(QLatin1Char('\n'));
}

} // namespace xl
