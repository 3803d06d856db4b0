#include "shell/Main.h"

#include "platform/ui/MsgBox.h"

#include <QCoreApplication>
#include <QFile>
#include <sys/resource.h>
#include <sys/stat.h>

namespace Main {
namespace {
QString g_folder;
QString g_title;
} // namespace

bool FileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0;
}

QString ApplicationFolder()
{
    if (!g_folder.isEmpty())
        return g_folder;
    QString folder = QCoreApplication::applicationDirPath();
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

void SetApplicationFolder(const QString& folder)
{
    g_folder = folder;
}

QString ApplicationTitleFor(const QString& productName)
{
    QString title = productName;
    bool removedOnce = false;
    while (!removedOnce || title.size() > 40) {
        const qsizetype space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0)
            break;
        title.truncate(space);
        removedOnce = true;
    }
    return title;
}

void ApplyApplicationTitle()
{
    g_title = ApplicationTitleFor(ProductName);
    MsgBox::setDefaultCaption(g_title);
}

QString ApplicationTitle()
{
    return g_title;
}

void RaiseOpenFileLimit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    // A refusal leaves the limit as it was: the workbook then keeps more sheets in memory.
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

QVariant NullToDefault(const QVariant& value, const QVariant& fallback)
{
    return value.isNull() ? fallback : value;
}

} // namespace Main
