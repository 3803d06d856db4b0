#pragma once

#include "windows/TableWindowLayout.h"

#include <QElapsedTimer>
#include <functional>

/**
 * The table page. Created the first time it is needed and never destroyed
 * while the program runs; "Finish" copies the ticked tables into a workbook.
 */
class TableWindow : public TableWindowLayout {
    Q_OBJECT

public:
    /** The one table window; creating it runs its load handler. */
    static TableWindow& instance();
    static bool exists();
    /** Tests start each case with a fresh window. */
    static void destroyInstance();
    /** The program is about to end: no half-written workbook may stay behind. */
    static void abandonExport();

    void load();
    /** "Select All". */
    void selectAllClicked();
    /** "Deselect All". */
    void deselectAllClicked();
    /** "< Back". */
    void backClicked();
    /** "Finish": the export. */
    void finishClicked();

    bool busy() const { return m_busy; }
    /** The workbook the last export opened, empty when none. */
    const QString& lastWorkbookPath() const { return m_lastWorkbook; }

    /**
     * Waiting window events are processed at a yield point only when this
     * many milliseconds have passed since the last time (0: every time).
     */
    static void setYieldInterval(int milliseconds);
    /** Testing seam: runs at every yield point of an export, before events are processed. */
    std::function<void()> onYield;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The steps of "Finish".
    friend class ExportRun;

    TableWindow();
    ~TableWindow() override;
    /** Lets the window system catch up; answers false when the program has ended meanwhile. */
    bool yieldToEvents();

    bool m_busy = false;
    QString m_lastWorkbook;
    QElapsedTimer m_sinceEvents;
};
