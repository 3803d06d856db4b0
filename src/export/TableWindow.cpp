#include "export/TableWindow.h"

#include "platform/ui/CursorFile.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "shell/LookAndFeel.h"
#include "shell/Main.h"
#include "shell/WindowFlow.h"
#include "sqlaccess/SqlServer.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QListWidget>
#include <QPushButton>

namespace {
TableWindow* g_instance = nullptr;
int g_yieldInterval = 8;
} // namespace

TableWindow& TableWindow::instance()
{
    if (!g_instance) {
        g_instance = new TableWindow;
        g_instance->load();
    }
    return *g_instance;
}

bool TableWindow::exists()
{
    return g_instance != nullptr;
}

void TableWindow::destroyInstance()
{
    delete g_instance;
    g_instance = nullptr;
}

void TableWindow::abandonExport()
{
    xl::Application::discardUnfinishedFiles();
}

void TableWindow::setYieldInterval(int milliseconds)
{
    g_yieldInterval = milliseconds;
}

TableWindow::TableWindow()
{
    connect(selectAllButton, &QPushButton::clicked, this, &TableWindow::selectAllClicked);
    connect(deselectAllButton, &QPushButton::clicked, this, &TableWindow::deselectAllClicked);
    connect(backButton, &QPushButton::clicked, this, &TableWindow::backClicked);
    connect(finishButton, &QPushButton::clicked, this, &TableWindow::finishClicked);
    LookAndFeel::InstallHoverRules(pointer, {backButton, finishButton, selectAllButton, deselectAllButton},
        {this, tableList, tableList->viewport()}, {progressBar});
    // The spreadsheet application is started without waiting for it; when it
    // cannot open the workbook the user still learns where the file is.
    xl::Application::setOpenFailureHandler([](const QString& path, const QString& why) {
        MsgBox::show(QStringLiteral("The workbook was written to %1, but the spreadsheet application could not "
                                    "open it: %2.")
                         .arg(path, why),
            MsgBox::Exclamation);
    });
}

TableWindow::~TableWindow()
{
    if (g_instance == this)
        g_instance = nullptr;
}

void TableWindow::load()
{
    ErrorTrap trap(Locations::TableWindowLoad);
    trap.step(100, [&] { LookAndFeel::ButtonFaceBackground(this); });
    trap.step(102, [&] { setWindowIcon(WindowFlow::ApplicationIcon()); });
    if (trap.test(104, [] { return Main::FileExists(LookAndFeel::HandCursorPath()); }))
        trap.step(106, [&] { pointer.setMouseIcon(LoadCursorFile(LookAndFeel::HandCursorPath())); });
    trap.step(108, [&] { setWindowTitle(Main::ProductName); });
    trap.step(110, [&] { SqlServer::FillTableList(tableList); });
    trap.step(112, [&] { setEnabled(true); });
    trap.step(114, [&] { pointer.setMousePointer(WindowPointer::Default); });
}

namespace {
/** Ticks or unticks every entry; the count is read once, as a full int so that any length of list works. */
void setEveryTick(QListWidget* list, const QString& location, Qt::CheckState state)
{
    ErrorTrap trap(location);
    int count = 0;
    trap.step(100, [&] { count = list->count(); });
    for (int i = 0; i < count && i < list->count(); ++i) // 104
        trap.step(102, [&] { list->item(i)->setCheckState(state); });
}
} // namespace

void TableWindow::selectAllClicked()
{
    setEveryTick(tableList, Locations::TableWindowSelectAll, Qt::Checked);
}

void TableWindow::deselectAllClicked()
{
    setEveryTick(tableList, Locations::TableWindowDeselectAll, Qt::Unchecked);
}

void TableWindow::backClicked()
{
    ErrorTrap trap(Locations::TableWindowBack);
    trap.step(100, [] {
        QWidget* connection = WindowFlow::ConnectionWindow();
        if (!connection)
            throw quorvane::Error(91, QStringLiteral("Object variable not set"));
        connection->show();
    });
    trap.step(102, [&] { hide(); });
}

void TableWindow::closeEvent(QCloseEvent* event)
{
    // Closing either page ends the program at once, also in the middle of an export.
    event->ignore();
    abandonExport();
    ProgramEnd::now();
}

bool TableWindow::yieldToEvents()
{
    if (onYield)
        onYield();
    if (!m_sinceEvents.isValid() || m_sinceEvents.elapsed() >= g_yieldInterval) {
        progressBar->flush();
        QCoreApplication::processEvents();
        m_sinceEvents.start();
    }
    return !ProgramEnd::ended();
}
