// Runs the wizard on the demo database without a display and tells what it did.
//
//   quorvane-demo <screenshot folder>          the main job, step by step, through the real windows
//   quorvane-demo --example-image <file.jpg>   the picture of a local connection that "Help" offers
//   quorvane-demo --grab-screen <file.png>     the whole screen of the display (the demo's virtual one)
//
// The environment (private ODBC registration, settings folder, stand-in
// desktop opener) is prepared by scripts/demo.sh.

#include "connection/ConnectionWindow.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "windows/TableWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>

#include <cstdio>

namespace {
void say(const QString& text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

QString oneLine(QString text)
{
    return text.replace(QLatin1String("\r\n"), QLatin1String(" / ")).replace(QLatin1Char('\r'), QLatin1String(" / "));
}

/** Once the window has been painted. */
Async::Task<> screenshot(QWidget* window, QString file)
{
    co_await Async::nextTurn();
    if (window->grab().save(file))
        say(QStringLiteral("  screenshot: %1").arg(file));
}

QString listing(const TableWindow& tables)
{
    QStringList names;
    for (int i = 0; i < tables.tableList->count(); ++i) {
        const QListWidgetItem* item = tables.tableList->item(i);
        names << (item->checkState() == Qt::Checked ? "[x] " : "[ ] ") + item->text();
    }
    return names.join(QStringLiteral(", "));
}

int exampleImage(const QString& file)
{
    ConnectionWindow window;
    window.serverEdit->setText(QStringLiteral("localhost\\SQLEXPRESS"));
    window.userEdit->setText(QStringLiteral("sa"));
    {
        // Only the picture shows a password: none is saved.
        const QSignalBlocker quiet(window.passwordEdit);
        window.passwordEdit->setText(QStringLiteral("password"));
    }
    window.databaseEdit->setText(QStringLiteral("Northwind"));
    window.localConnectionBox->setChecked(true);
    window.show();
    window.ensurePolished();
    return window.grab().save(file, "JPG", 92) ? 0 : 1;
}
} // namespace

namespace {

/** Message boxes are told on the terminal and answered "No" or "OK"; the end of the program is told too. */
void answerBoxesOnTheTerminal()
{
    MsgBox::setHandler([](const MsgBox::Record& box) {
        const bool question = (box.style & 7) == MsgBox::YesNo;
        say(QStringLiteral("  message box (style %1, caption \"%2\"): %3%4")
                .arg(box.style)
                .arg(box.caption, oneLine(box.text), question ? QStringLiteral(" -> No") : QStringLiteral(" -> OK")));
        return question ? int(MsgBox::No) : int(MsgBox::Ok);
    });
    ProgramEnd::setHandler([] { say(QStringLiteral("  the program ends")); });
}

/**
 * The demo's workbooks stay in the demo's folder (scripts/demo.sh names a
 * documents folder there); never among the documents of whoever runs it.
 */
bool workbooksStayInTheDemo()
{
    const QString demo = qEnvironmentVariable("QUORVANE_DEMO_DIR");
    const QString workbooks = xl::Application::workbookFolder();
    if (demo.isEmpty() || !workbooks.startsWith(QDir::cleanPath(demo) + QLatin1Char('/'))) {
        say(QStringLiteral("Workbooks would go to %1, outside the demo folder; run scripts/demo.sh.").arg(workbooks));
        return false;
    }
    say(QStringLiteral("Workbooks go to %1").arg(workbooks));
    return true;
}

/** "< Back", the connection window's fields and buttons, and "Next >" again. */
Async::Task<> goBackAndForth(ConnectionWindow& connection, TableWindow& tables, QString shots)
{
    say(QStringLiteral("Pressing \"< Back\""));
    tables.backButton->click();
    say(QStringLiteral("  server \"%1\", port \"%2\", user \"%3\", password %4, database \"%5\", local connection %6")
            .arg(connection.serverEdit->text(), connection.portEdit->text(), connection.userEdit->text(),
                connection.passwordEdit->text().isEmpty() ? QStringLiteral("empty") : QStringLiteral("set"),
                connection.databaseEdit->text(),
                connection.localConnectionBox->isChecked() ? QStringLiteral("ticked") : QStringLiteral("unticked")));
    co_await screenshot(&connection, shots + "/connection-window.png");

    say(QStringLiteral("Pressing \"Test Connection\""));
    co_await connection.testConnectionClicked();
    say(QStringLiteral("Pressing \"Help\""));
    connection.helpButton->click();
    say(QStringLiteral("Pressing \"Next >\""));
    co_await connection.nextClicked();
    say(QStringLiteral("  table window %1; tables: %2").arg(tables.isVisible() ? "shown" : "hidden", listing(tables)));
}

/** "Select All" and "Finish", then the workbook's sheets as openpyxl reads them. */
Async::Task<int> exportEverything(TableWindow& tables)
{
    say(QStringLiteral("Pressing \"Select All\" and \"Finish\""));
    tables.selectAllButton->click();
    co_await tables.finishClicked();
    const QString workbook = tables.lastWorkbookPath();
    if (workbook.isEmpty()) {
        say(QStringLiteral("  no workbook was written"));
        co_return 1;
    }
    say(QStringLiteral("  workbook: %1").arg(workbook));
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
        {"-c",
            "import sys, openpyxl\n"
            "wb = openpyxl.load_workbook(sys.argv[1])\n"
            "for ws in wb.worksheets:\n"
            "    print('  worksheet %-16s %6d rows %3d columns%s' % (ws.title, ws.max_row, ws.max_column,"
            " '  (active)' if ws == wb.active else ''))\n",
            workbook});
    reader.waitForFinished(60000);
    std::printf("%s", reader.readAllStandardOutput().constData());
    co_return 0;
}

/** The demo's whole run on the stored settings, as a user would go through it. */
Async::Task<int> runDemo(QString shots)
{
    say(QStringLiteral("Starting Quorvane with the demo settings (%1)").arg(qEnvironmentVariable("XDG_CONFIG_HOME")));
    ConnectionWindow connection;
    co_await connection.startUp();
    if (ProgramEnd::ended())
        co_return 1;
    TableWindow* tables = TableWindow::existing();
    if (!connection.movedOn() || !tables) {
        connection.show();
        say(QStringLiteral("The stored settings did not connect: the connection window is shown."));
        co_await screenshot(&connection, shots + "/connection-window.png");
        co_return 1;
    }
    say(QStringLiteral("The stored settings connect: start-up went straight to the table window."));
    say(QStringLiteral("  tables: %1").arg(listing(*tables)));
    co_await screenshot(tables, shots + "/table-window.png");
    co_await goBackAndForth(connection, *tables, shots);
    const int status = co_await exportEverything(*tables);
    co_return status;
}

Async::Task<> runDemoAndExit(QString shots)
{
    const int status = co_await runDemo(shots);
    QCoreApplication::exit(status);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    answerBoxesOnTheTerminal();
    if (argc == 3 && QByteArray(argv[1]) == "--grab-screen")
        return QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    if (argc == 3 && QByteArray(argv[1]) == "--example-image")
        return exampleImage(QString::fromLocal8Bit(argv[2]));

    const QString shots = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(shots);
    if (!workbooksStayInTheDemo())
        return 1;
    Async::Task<> demo;
    QTimer::singleShot(0, [&demo, shots] { demo = runDemoAndExit(shots); });
    return app.exec();
}
