#include "shell/IsInstalled.h"

#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"

namespace IsInstalled {

QString NotInstalledMessage()
{
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("Error 842001. A normal instance of Excel could not be created.") + crlf + crlf
        + QStringLiteral("1. Please make sure Excel is installed on this computer.") + crlf + crlf
        + QStringLiteral(
            "2. Please open Excel normally and make sure a blank spreadsheet opens immediately without any "
            "interrupting window (such as an Excel file recovery window).")
        + crlf + crlf
        + QStringLiteral(
            "3. Please make sure that when you double-click on a XLS or XLSX file that Excel opens normally "
            "without any interrupting messages.")
        + crlf + crlf
        + QStringLiteral(
            "4. All versions of Excel are supported by this software except for the rare Excel Starter and "
            "Student editions.");
}

void CheckExcelInstalled()
{
    bool available = false;
    try {
        available = xl::Application::canBeCreated();
    } catch (...) {
        available = false;
    }
    if (available)
        return;
    MsgBox::show(NotInstalledMessage(), MsgBox::OkOnly);
    ProgramEnd::now();
}

} // namespace IsInstalled
