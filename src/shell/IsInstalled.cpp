#include "shell/IsInstalled.h"

#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "shell/Main.h"

namespace IsInstalled {

QString NotInstalledMessage()
{
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("Error 842001. No spreadsheet application could be found to open the workbook.") + crlf + crlf
        + QStringLiteral(
            "1. Please make sure a spreadsheet application is installed: LibreOffice Calc, or another application "
            "that opens .xlsx files.")
        + crlf + crlf
        + QStringLiteral("2. On Debian and Ubuntu, LibreOffice Calc is installed with the command: sudo apt install "
                         "libreoffice-calc")
        + crlf + crlf
        + QStringLiteral(
            "3. Please make sure it is the default application for .xlsx files, with the command: xdg-mime default "
            "libreoffice-calc.desktop application/vnd.openxmlformats-officedocument.spreadsheetml.sheet (or in "
            "your file manager: right-click an .xlsx file, \"Open With\", and choose it as the default).")
        + crlf + crlf
        + QStringLiteral(
            "4. Please make sure that when you double-click an .xlsx file, it opens in that application without "
            "any interrupting messages.");
}

QString FolderProblemMessage(const xl::FolderProblem& problem)
{
    return QStringLiteral("%1 cannot use the folder %2 for its workbooks: %3.")
        .arg(Main::ProductName, problem.folder, problem.reason);
}

void CheckExcelInstalled()
{
    // A folder that cannot be used is told apart from a missing spreadsheet
    // application: the advice to install one would send the user the wrong way.
    const QString folder = xl::Application::workbookFolder(); // asks the desktop: once for every step here
    std::optional<xl::FolderProblem> problem = xl::Application::folderProblem(folder);
    // A disk too full for a tiny workbook is no missing application either.
    if (!problem)
        problem = xl::Application::trialWriteProblem(folder);
    if (problem) {
        MsgBox::show(FolderProblemMessage(*problem), MsgBox::Exclamation);
        ProgramEnd::now(ProgramEnd::CannotWork);
        return;
    }
    // Files of a run that ended while it wrote a workbook; nobody finishes them now.
    xl::Application::removeAbandonedFiles(folder);

    // The folder and the trial write are known good by now: only the application is left to ask about.
    bool available = false;
    try {
        available = xl::Application::spreadsheetApplicationNamed();
    } catch (...) {
        available = false;
    }
    if (available)
        return;
    MsgBox::show(NotInstalledMessage(), MsgBox::OkOnly);
    ProgramEnd::now();
}

} // namespace IsInstalled
