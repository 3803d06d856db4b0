#include "windows/TableWindow.h"

#include "platform/ui/CursorFile.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "shell/LookAndFeel.h"
#include "shell/Main.h"
#include "shell/WindowFlow.h"

#include <QCloseEvent>
#include <QListWidget>
#include <QListWidgetItem>
#include <QPushButton>

namespace {
TableWindow* g_instance = nullptr;
int g_yieldInterval = 8;
} // namespace

Async::Task<TableWindow*> TableWindow::open()
{
    if (!g_instance) {
        g_instance = new TableWindow;
        co_await g_instance->load();
    }
    co_return g_instance;
}

TableWindow* TableWindow::existing()
{
    return g_instance;
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
    connect(finishButton, &QPushButton::clicked, this, [this] { finishClicked(); });
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

Async::Task<> TableWindow::load()
{
    ErrorTrap trap(Locations::TableWindowLoad);
    trap.step(100, [&] { LookAndFeel::ButtonFaceBackground(this); });
    trap.step(102, [&] { setWindowIcon(WindowFlow::ApplicationIcon()); });
    if (trap.test(104, [] { return Main::FileExists(LookAndFeel::HandCursorPath()); }))
        trap.step(106, [&] { pointer.setMouseIcon(LoadCursorFile(LookAndFeel::HandCursorPath())); });
    trap.step(108, [&] { setWindowTitle(Main::ProductName); });
    const std::exception_ptr failed = co_await Async::failureOf(refill());
    trap.passed(110, failed);
    trap.step(112, [&] { setEnabled(true); });
    trap.step(114, [&] { pointer.setMousePointer(WindowPointer::Default); });
}

Async::Task<> TableWindow::refill()
{
    const std::vector<SqlServer::ListedTable> tables = co_await SqlServer::ListTables();
    FillList(tableList, tables);
}

void TableWindow::FillList(QListWidget* list, const std::vector<SqlServer::ListedTable>& tables)
{
    ErrorTrap trap(Locations::TableListing);
    const auto need = [list]() -> QListWidget& {
        if (!list)
            throw quorvane::Error(91, QStringLiteral("Object variable or With block variable not set"));
        return *list;
    };
    trap.step(112, [&] { need().clear(); });
    for (const SqlServer::ListedTable& table : tables)
        trap.step(122, [&] {
            auto item = std::make_unique<QListWidgetItem>(table.name);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
            item->setData(Qt::UserRole, table.schema);
            need().addItem(item.release());
        });
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

Async::Task<> TableWindow::finishClicked()
{
    ErrorTrap trap(Locations::TableWindowFinish);
    if (m_busy) // 104
        co_return;
    const Async::BusyFlag busy(m_busy); // 106, 232
    m_lastWorkbook.clear();
    if (tableList->count() == 0) // 108: an empty list does nothing at all
        co_return;
    keepTicksOnRefill();
    try {
        co_await ExportTables(listedTables(), *this, trap);
    } catch (const ProgramEnded&) {
        // The program has ended under us: nothing more is shown.
    }
    stopKeepingTicks();
}

std::vector<SqlServer::ListedTable> TableWindow::listedTables() const
{
    std::vector<SqlServer::ListedTable> tables;
    for (int i = 0; i < tableList->count(); ++i)
        tables.push_back({tableList->item(i)->text(), tableList->item(i)->data(Qt::UserRole)});
    return tables;
}

/**
 * Ticks are read live as the copy reaches each table; if "< Back" and
 * "Next >" refill the list meanwhile, the export goes on with the tables it
 * had, ticked as they were at that moment: the user asked for those tables,
 * and a refilled list says nothing else.
 */
void TableWindow::keepTicksOnRefill()
{
    m_refilled = false;
    m_keptTicks.clear();
    const auto keepTicks = [this] {
        if (m_refilled)
            return;
        for (int i = 0; i < tableList->count(); ++i)
            m_keptTicks.push_back(tableList->item(i)->checkState() == Qt::Checked);
        m_refilled = true;
    };
    QAbstractItemModel* model = tableList->model();
    m_refillWatch[0] = connect(model, &QAbstractItemModel::modelAboutToBeReset, this, keepTicks);
    m_refillWatch[1] = connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, keepTicks);
}

void TableWindow::stopKeepingTicks()
{
    for (const QMetaObject::Connection& watch : m_refillWatch)
        disconnect(watch);
}

bool TableWindow::ticked(int position) const
{
    // Live while the list is the one the export started with.
    if (!m_refilled)
        return position <= tableList->count() && tableList->item(position - 1)->checkState() == Qt::Checked;
    return std::size_t(position) <= m_keptTicks.size() && m_keptTicks[std::size_t(position - 1)];
}

void TableWindow::setBusyPointer(bool busy)
{
    pointer.setMousePointer(busy ? WindowPointer::Hourglass : WindowPointer::Default);
}

void TableWindow::setProgress(int percent)
{
    progressBar->setValue(percent);
}

void TableWindow::setProgressText(const QString& text)
{
    progressBar->setText(text);
}

void TableWindow::setRowText(const QString& table, long long row, long long total)
{
    progressBar->setRowText(table, row, total);
}

void TableWindow::setFieldText(int field, int count)
{
    progressBar->setFieldText(field, count);
}

bool TableWindow::turnDue()
{
    if (onYield)
        onYield();
    if (m_sinceTurn.isValid() && m_sinceTurn.elapsed() < g_yieldInterval)
        return false;
    progressBar->flush();
    m_sinceTurn.start();
    return true;
}

void TableWindow::showLastWorkbook(const QString& workbook)
{
    m_lastWorkbook = workbook;
    // The workbook sits among the user's documents; once its window is
    // closed, this is where the user finds out which file it was.
    if (!workbook.isEmpty())
        progressBar->setToolTip(QStringLiteral("Last workbook: ") + workbook);
}

void TableWindow::restoreIfMinimized()
{
    if (windowState() & Qt::WindowMinimized)
        setWindowState(windowState() & ~Qt::WindowMinimized);
}
