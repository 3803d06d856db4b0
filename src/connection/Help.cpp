#include "connection/Help.h"

#include "platform/ui/MsgBox.h"
#include "platform/workbook/Opener.h"
#include "shell/ErrorTrap.h"
#include "shell/Main.h"

namespace Help {

QString ConnectionHelpText()
{
    const QString gap = QStringLiteral("\r\r");
    return QStringLiteral("If you cannot establish connection to your MS SQL Server database with this program, "
                          "please go to: ")
        + gap + QLatin1String(DownloadAddress) + gap
        + QStringLiteral("Download and install the EMS SQL Manager 2005 Lite for SQL Server. Try to connect to "
                         "the same database (with the same login information you are using here). This will "
                         "determine if the login you are using is correct.")
        + gap
        + QStringLiteral(
            "If you are using Microsoft SQL Server Express Edition and connecting locally, you may need to use")
        + gap + QStringLiteral("localhost\\SQLEXPRESS") + gap + QStringLiteral("for example, for Server.");
}

void ShowConnectionHelp()
{
    ErrorTrap trap(Locations::ConnectionWindowHelp);
    // 102-112 put the text together, which cannot fail.
    trap.step(114, [] { MsgBox::show(ConnectionHelpText(), MsgBox::OkOnly); });
    int answer = MsgBox::No;
    trap.step(116, [&] {
        answer
            = MsgBox::show(QStringLiteral("Would you like to see an image of how I connect locally?"), MsgBox::YesNo);
    });
    if (answer != MsgBox::Yes)
        return;
    trap.step(118, [] {
        OpenWithDefaultApplication(Main::ApplicationFolder() + QStringLiteral("/local-connection-example.jpg"));
    });
}

} // namespace Help
