#include "platform/ui/Launcher.h"

#include "platform/Error.h"

#include <QProcess>

void OpenWithDefaultApplication(const QString& path)
{
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {path}))
        throw quorvane::Error(53, QStringLiteral("Cannot start xdg-open to open %1").arg(path));
}
