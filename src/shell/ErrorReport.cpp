#include "shell/ErrorReport.h"

#include "platform/ui/MsgBox.h"

namespace ErrorReport {

QString text(const QString& description, const QString& location, int line)
{
    return description + QStringLiteral("\r\n") + QStringLiteral("in ") + location + QLatin1Char(' ')
        + QStringLiteral("at line ") + QString::number(line) + QStringLiteral("\r\r")
        + QStringLiteral("Please email screenshot of this message to ") + QLatin1String(SupportAddress);
}

void show(const QString& description, const QString& location, int line)
{
    MsgBox::show(text(description, location, line), MsgBox::Exclamation, QStringLiteral("Application Error"));
}

} // namespace ErrorReport
