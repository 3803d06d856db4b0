#include "shell/IsInstalled.h"

#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "shell/Main.h"

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

QString FolderProblemMessage(const xl::FolderProblem& problem)
{
    return QStringLiteral("%1 cannot use the folder %2 for its workbooks: %3.")
        .arg(Main::ProductName, problem.folder, problem.reason);
}

void CheckExcelInstalled()
{
    // A folder that cannot be used is told apart from a missing spreadsheet
    // application: the advice to check Excel would send the user the wrong way.
    if (const std::optional<xl::FolderProblem> problem = xl::Application::folderProblem()) {
        MsgBox::show(FolderProblemMessage(*problem), MsgBox::Exclamation);
        ProgramEnd::now(ProgramEnd::CannotWork);
        return;
    }
    // Files of a run that ended while it wrote a workbook; nobody finishes them now.
    xl::Application::removeAbandonedFiles();

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
