#include "connection/Help.h"

#include "platform/workbook/Opener.h"
#include "platform/ui/MsgBox.h"
#include "shell/ErrorTrap.h"
#include "shell/Main.h"

namespace Help {
namespace {
QString piece(int n, const QString& brk)
{
    switch (n) {
    case 1:
        return QStringLiteral("If you cannot establish connection to your MS SQL Server database with this program, "
                              "please go to: ")
            + brk;
    case 2:
        return QLatin1String(DownloadAddress) + brk;
    case 3:
        return QStringLiteral("Download and install the EMS SQL Manager 2005 Lite for SQL Server. Try to connect to ");
    case 4:
        return QStringLiteral(
            "the same database (with the same login information you are using here). This will determine if ");
    default:
        return QStringLiteral("the login you are using is correct.") + brk
            + QStringLiteral(
                "If you are using Microsoft SQL Server Express Edition and connecting locally, you may need to use")
            + brk + QStringLiteral("localhost\\SQLEXPRESS") + brk + QStringLiteral("for example, for Server.");
    }
}
} // namespace

QString ConnectionHelpText()
{
    const QString brk = QStringLiteral("\r\r");
    return piece(1, brk) + piece(2, brk) + piece(3, brk) + piece(4, brk) + piece(5, brk);
}

void ShowConnectionHelp()
{
    ErrorTrap trap(Locations::ConnectionWindowHelp);
    QString brk, p1, p2, p3, p4, p5;
    trap.step(102, [&] { brk = QStringLiteral("\r\r"); });
    trap.step(104, [&] { p1 = piece(1, brk); });
    trap.step(106, [&] { p2 = piece(2, brk); });
    trap.step(108, [&] { p3 = piece(3, brk); });
    trap.step(110, [&] { p4 = piece(4, brk); });
    trap.step(112, [&] { p5 = piece(5, brk); });
    trap.step(114, [&] { MsgBox::show(p1 + p2 + p3 + p4 + p5, MsgBox::OkOnly); });
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
