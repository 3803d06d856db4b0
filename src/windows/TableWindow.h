#pragma once

#include "export/TableExport.h"
#include "shell/Async.h"
#include "sqlaccess/SqlServer.h"
#include "windows/TableWindowLayout.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <functional>
#include <vector>

/**
 * The table page. Created the first time it is needed and never destroyed
 * while the program runs; "Finish" copies the ticked tables into a workbook.
 */
class TableWindow : public TableWindowLayout, private ExportView {
    Q_OBJECT

public:
    /** The one table window, made and filled with the database's tables the first time (its load handler). */
    static Async::Task<TableWindow*> open();
    /** The window once made, else nullptr. */
    static TableWindow* existing();
    static bool exists() { return existing() != nullptr; }
    /** Tests start each case with a fresh window. */
    static void destroyInstance();
    /** The program is about to end: no half-written workbook may stay behind. */
    static void abandonExport();

    /**
     * Replaces the list's entries with `tables`, each unticked, its text the
     * table name and its Qt::UserRole data the table's schema; failures are
     * reported as the listing's.
     */
    static void FillList(QListWidget* list, const std::vector<SqlServer::ListedTable>& tables);

    /** Lists the database's tables again into the list. */
    Async::Task<> refill();
    /** "Select All". */
    void selectAllClicked();
    /** "Deselect All". */
    void deselectAllClicked();
    /** "< Back". */
    void backClicked();
    /** "Finish": the export. */
    Async::Task<> finishClicked();

    bool busy() const { return m_busy; }
    /** The workbook the last export opened, empty when none. */
    const QString& lastWorkbookPath() const { return m_lastWorkbook; }

    /**
     * The window is given a turn of the event loop at a yield point of an
     * export only when this many milliseconds have passed since the last one
     * (0: every time).
     */
    static void setYieldInterval(int milliseconds);
    /** Testing seam: runs at every yield point of an export. */
    std::function<void()> onYield;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    TableWindow();
    ~TableWindow() override;
    Async::Task<> load();

    /** The tables of the list as it stands, for an export. */
    std::vector<SqlServer::ListedTable> listedTables() const;
    /** Until the export ends: should the list be refilled meanwhile, its ticks at that moment are kept. */
    void keepTicksOnRefill();
    void stopKeepingTicks();

    // What the export is told and asks.
    bool ticked(int position) const override;
    void setBusyPointer(bool busy) override;
    void setProgress(int percent) override;
    void setProgressText(const QString& text) override;
    void setRowText(const QString& table, long long row, long long total) override;
    void setFieldText(int field, int count) override;
    bool turnDue() override;
    void showLastWorkbook(const QString& workbook) override;
    void restoreIfMinimized() override;

    bool m_busy = false;
    QString m_lastWorkbook;
    QElapsedTimer m_sinceTurn;
    /** The ticks of the list the export began with, taken when the list was refilled under it. */
    std::vector<bool> m_keptTicks;
    bool m_refilled = false;
    QMetaObject::Connection m_refillWatch[2];
};
