#pragma once

#include "shell/Async.h"
#include "sqlaccess/SqlServer.h"

#include <QString>
#include <vector>

class ErrorTrap;

/**
 * What the export needs of the window that started it: which tables are
 * ticked, and where its progress shows. The window paints; the export only
 * tells.
 */
class ExportView {
public:
    /** Whether table `position` (from 1) of those the export was given is ticked at this moment. */
    virtual bool ticked(int position) const = 0;
    /** The hourglass while the export runs, the usual pointer after. */
    virtual void setBusyPointer(bool busy) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void setProgressText(const QString& text) = 0;
    /** "Processing: <table>, row <n> from <total>..." */
    virtual void setRowText(const QString& table, long long row, long long total) = 0;
    /** "..., field <f> from <count>..." */
    virtual void setFieldText(int field, int count) = 0;
    /** A moment of the export has passed: true when the window is due a turn of the event loop. */
    virtual bool turnDue() = 0;
    /** The export is over; `workbook` is the file it wrote and opened, empty when none. */
    virtual void showLastWorkbook(const QString& workbook) = 0;
    /** A minimised window is shown again for the closing message. */
    virtual void restoreIfMinimized() = 0;

protected:
    ~ExportView() = default;
};

/**
 * "Finish": copies every ticked table of `tables` into a worksheet of its own,
 * writes the workbook and opens it, and says "Done.". Failures are reported
 * under `trap`, one report a table. Answers the workbook opened, empty when
 * none was.
 */
Async::Task<QString> ExportTables(std::vector<SqlServer::ListedTable> tables, ExportView& view, ErrorTrap& trap);
