#include "shell/Main.h"
#include "connection/ConnectionWindow.h"
#include "platform/ui/ProgramEnd.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    Main::RaiseOpenFileLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setOrganizationName(QStringLiteral("Brantlow"));

    // The connection window is the start-up window: creating it starts the
    // start-up sequence, which shows it unless it goes straight on to the tables.
    ConnectionWindow connectionWindow;
    return app.exec();
}
