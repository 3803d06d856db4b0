#include "export/Form2.h"

#include "platform/ui/CursorFile.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "shell/LookAndFeel.h"
#include "shell/Main.h"
#include "shell/WindowFlow.h"
#include "sqlaccess/MSSQL.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QListWidget>
#include <QPushButton>

namespace {
Form2* g_instance = nullptr;
int g_yieldInterval = 8;
} // namespace

Form2& Form2::instance()
{
    if (!g_instance) {
        g_instance = new Form2;
        g_instance->Form_Load();
    }
    return *g_instance;
}

bool Form2::exists()
{
    return g_instance != nullptr;
}

void Form2::destroyInstance()
{
    delete g_instance;
    g_instance = nullptr;
}

void Form2::abandonExport()
{
    xl::Application::discardUnfinishedFiles();
}

void Form2::setYieldInterval(int milliseconds)
{
    g_yieldInterval = milliseconds;
}

Form2::Form2()
{
    connect(PushButton8, &QPushButton::clicked, this, &Form2::PushButton8_Click);
    connect(PushButton9, &QPushButton::clicked, this, &Form2::PushButton9_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form2::PushButton2_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form2::PushButton5_Click);
    LookAndFeel::InstallHoverRules(pointer, {PushButton2, PushButton5, PushButton8, PushButton9},
        {this, ListView1, ListView1->viewport()}, {ProgressBar1});
    // The spreadsheet application is started without waiting for it; when it
    // cannot open the workbook the user still learns where the file is.
    xl::Application::setOpenFailureHandler([](const QString& path, const QString& why) {
        MsgBox::show(QStringLiteral("The workbook was written to %1, but the spreadsheet application could not "
                                    "open it: %2.")
                         .arg(path, why),
            MsgBox::Exclamation);
    });
}

Form2::~Form2()
{
    if (g_instance == this)
        g_instance = nullptr;
}

void Form2::Form_Load()
{
    ErrorTrap trap(Locations::Form2Load);
    trap.step(100, [&] { LookAndFeel::ButtonFaceBackground(this); });
    trap.step(102, [&] { setWindowIcon(WindowFlow::ApplicationIcon()); });
    if (trap.test(104, [] { return Main::FileExists(LookAndFeel::HandCursorPath()); }))
        trap.step(106, [&] { pointer.setMouseIcon(LoadCursorFile(LookAndFeel::HandCursorPath())); });
    trap.step(108, [&] { setWindowTitle(Main::ProductName); });
    trap.step(110, [&] { MSSQL::AddTablesToMSSQLListbox(ListView1); });
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

void Form2::PushButton8_Click()
{
    setEveryTick(ListView1, Locations::Form2SelectAll, Qt::Checked);
}

void Form2::PushButton9_Click()
{
    setEveryTick(ListView1, Locations::Form2DeselectAll, Qt::Unchecked);
}

void Form2::PushButton2_Click()
{
    ErrorTrap trap(Locations::Form2Back);
    trap.step(100, [] {
        QWidget* connection = WindowFlow::ConnectionWindow();
        if (!connection)
            throw quorvane::Error(91, QStringLiteral("Object variable not set"));
        connection->show();
    });
    trap.step(102, [&] { hide(); });
}

void Form2::closeEvent(QCloseEvent* event)
{
    // Closing either page ends the program at once, also in the middle of an export.
    event->ignore();
    abandonExport();
    ProgramEnd::now();
}

bool Form2::yieldToEvents()
{
    if (onYield)
        onYield();
    if (!m_sinceEvents.isValid() || m_sinceEvents.elapsed() >= g_yieldInterval) {
        ProgressBar1->flush();
        QCoreApplication::processEvents();
        m_sinceEvents.start();
    }
    return !ProgramEnd::ended();
}
