#pragma once

// The workbook model that stands in for the spreadsheet application: an
// invisible application with workbooks and worksheets that follow Excel's
// rules, written out as one .xlsx file when it is made visible and then opened
// in the user's spreadsheet program.
//
// Cells do not stay in memory: every write appends a small binary record to a
// buffer that goes to an anonymous temporary file, so memory stays the same
// whatever the size of the tables, and nothing is left on disk if the program
// ends abruptly. Each full buffer also goes, on a thread of its own, into its
// sheet's XML, packed as it comes, so that when the workbook is made visible
// little is left but to write the parts that name and order the sheets and
// copy the packed sheets into the file. A sheet whose cells were written out
// of row order is made from the temporary file at that moment instead.
//
// Every failure throws quorvane::Error with Excel-like or the system's words;
// a failure of the storage behind the model throws its StorageError.

#include "platform/Error.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace xl {

inline constexpr long MaxRows = 1048576, MaxColumns = 16384;
/** A cell's limit, in UTF-16 code units (the unit the spreadsheet counts in). */
inline constexpr std::size_t MaxCellChars = 32767;
/** A sheet name's limit, in UTF-16 code units. */
inline constexpr int MaxSheetNameChars = 31;
/** Number of worksheets of a new workbook: three, as classic Excel had. */
inline constexpr int DefaultSheetCount = 3;

/** Error numbers of the model, those Excel's automation interface uses. */
enum ErrorNumber : long {
    SubscriptOutOfRange = 9,
    ApplicationDefinedError = 1004,
};

/**
 * The storage behind the model failed: the temporary cell store (a full disk,
 * a write error in the scratch folder), the private folders, or the writing of
 * the .xlsx file. Unlike a refused cell it does not go away with the next cell,
 * so a caller stops at the first one. Number and words are the system's (or
 * the writer's) as for any other error.
 */
class StorageError : public quorvane::Error {
public:
    using quorvane::Error::Error;
};

/** Why a private folder of the model cannot be used. */
struct FolderProblem {
    QString folder;
    /** In plain words, to follow "cannot use the folder ...:", e.g. "it belongs to another user". */
    QString reason;
};

struct CellValue {
    enum Type { Empty, Number, Text, Boolean, Date, Time, DateTime };
    Type type = Empty;
    /** Number; Date, Time and DateTime: the serial of the 1900 date system. */
    double number = 0;
    bool boolean = false;
    /** UTF-8; copied by write, so it may point into a buffer that is reused. */
    std::string_view text;
    /** The text's length in UTF-16 units (write counts again while it checks the text; kept for callers). */
    std::size_t utf16Length = 0;
};

/**
 * True when sixteen significant digits carry the number exactly. Only such
 * numbers go into the file as numbers: a spreadsheet application is not
 * bound to read more digits than that, and Excel shows fifteen.
 */
bool NumberSurvivesFile(double value);

/**
 * Why Excel refuses a sheet name (empty when it does not): blank, too long,
 * a forbidden character, an apostrophe at either end, the reserved "History",
 * or a character that the file format cannot hold in a name (control
 * characters, U+FFFE/U+FFFF, half of a surrogate pair). Does not look at the
 * other sheets.
 */
QString SheetNameProblem(const QString& name);

class Workbook;
class Application;
struct ModelAccess;

class Worksheet {
public:
    ~Worksheet();
    Worksheet(const Worksheet&) = delete;
    Worksheet& operator=(const Worksheet&) = delete;

    QString name() const;
    /** Throws quorvane::Error when Excel would refuse the name; the sheet then keeps its old one. */
    void setName(const QString& name);

    /**
     * Writes one cell, row and column counted from 1. Later writes to the same
     * cell replace earlier ones; an Empty value clears it. Throws beyond the
     * sheet's limits, for text of more than 32,767 UTF-16 units or not valid
     * UTF-8, for numbers that are not finite and for dates out of Excel's range.
     */
    void write(long row, long column, const CellValue& value);
    void writeText(long row, long column, const QString& text);

    /**
     * Fits the column widths to the longest value shown in each column, as the
     * cells stand now; cells written later do not widen the columns.
     */
    void autoFitColumns();

    struct Impl; // opaque outside the model

private:
    friend class Workbook;
    friend class Application;
    friend struct ModelAccess;
    Worksheet(Workbook* workbook, const QString& name);
    std::unique_ptr<Impl> d;
};

class Workbook {
public:
    ~Workbook();
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    int count() const;
    /** 1-based, in tab order; throws "Subscript out of range" otherwise. */
    Worksheet* worksheet(int index);
    /** Removes the sheet at that index; the last remaining sheet cannot be deleted. */
    void deleteWorksheet(int index);
    Worksheet* activeSheet();
    /** Whether a sheet other than `except` has this name, as Excel compares names; costs the same for any count. */
    bool hasSheetNamed(const QString& name, const Worksheet* except = nullptr) const;
    /** Whether a sheet's name, lower-cased, is exactly this. */
    bool hasSheetNamedLower(const QString& lowerName) const;
    /**
     * A new sheet in front of the active one, which it replaces as the active
     * sheet; named "Sheet" + the lowest number from 1 that no sheet has.
     */
    Worksheet* addWorksheet();

    /** The path written by Application::writeAndOpen; empty before. */
    QString filePath() const;

    struct Impl; // opaque outside the model

private:
    friend class Worksheet;
    friend class Application;
    friend struct ModelAccess;
    explicit Workbook(int sheets);
    std::unique_ptr<Impl> d;
};

class Application {
public:
    /** A new, invisible application without workbooks. */
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    /**
     * A new workbook with DefaultSheetCount sheets, Sheet1 first and active.
     * Creates the workbook folder and the workbook's temporary storage, and
     * throws with the system's words when it cannot.
     */
    Workbook* addWorkbook();

    /** The database name; the file name is made from it and the time. */
    void setDocumentName(const QString& name);

    /**
     * Writes every workbook not yet written to its .xlsx file in the workbook
     * folder ("Northwind 2026-12-07 23.25.32.xlsx", " (2)" and so on when the
     * name is taken, never replacing a file), completely under a hidden
     * temporary name and then renamed into place, then starts xdg-open on each without waiting (on the
     * application's thread, also when called from another one). Answers the
     * path of the last file written (empty when there was no workbook). A
     * write that fails for another reason than a full disk is tried once
     * more, made wholly from the cell store. When that fails too it throws
     * with the system's words, leaves no file and opens nothing; the
     * workbook can be tried again. An opener
     * that cannot start or ends with a failure is reported later, to the
     * open-failure handler; the file stays.
     */
    QString writeAndOpen();
    bool opened() const;

    /**
     * Whether the cells of workbooks added from now on go to the file's
     * writer while they are written (the default), or wait in the cell store
     * until the file is made. Both make the same file; the tests run both.
     */
    static void setCellsStreamed(bool streamed);

    /**
     * Whether the file's writer is behind the cells written (a slow disk):
     * a few buffers of cells wait for it. Cells may still be written, but
     * whoever writes many should wait for the room notice first, so that
     * memory stays bounded.
     */
    bool writerBehind() const;
    /**
     * Who hears that the file's writer has taken a buffer of cells, and so
     * made room: called on the writer's thread. The export sets it to wake
     * its wait.
     */
    static void setRoomNotice(std::function<void()> notice);

    /**
     * For the tests: the size from which the file uses zip64's wider fields
     * (4 GiB less a byte by default, where the narrow ones end), and a failure
     * (an errno) that the next write of a file meets once, as a failing disk
     * would.
     */
    static void setZip64From(std::uint64_t bytes);
    static void injectWriteFault(int error);
    /** For the tests: a pause the writer takes before each buffer of cells, as on a slow disk. */
    static void setWriterPause(int milliseconds);

    /**
     * Who hears of an opener that failed: the written file's full path and
     * why, in words such as "xdg-open ended with status 4 (the action
     * failed)". Called on the application's thread from its event loop, after
     * writeAndOpen has returned, possibly after the Application is gone. Without
     * a handler the failure is only logged. The window layer sets it once.
     */
    static void setOpenFailureHandler(std::function<void(const QString& path, const QString& why)> handler);

    /**
     * Openers handed a workbook and not yet over, counting one still waiting
     * to be started from the event loop. Their outcome is heard only from
     * that loop, so whoever must not leave one behind (a test taking its
     * stand-in xdg-open away) handles events until this is 0.
     */
    static int openersRunning();

    /**
     * Whether a workbook can be written and shown: the writer produces a tiny
     * workbook in the workbook folder (removed again), and the desktop names an
     * application for .xlsx files. Finding the workbook folder asks the desktop,
     * so the start-up check finds it once and hands it to each of its steps.
     */
    static bool canBeCreated(const QString& folder = workbookFolder());
    /** Whether the desktop names an application for .xlsx files (the last part of canBeCreated). */
    static bool spreadsheetApplicationNamed();

    /**
     * Why the model's folders (workbookFolder, then scratchFolder) cannot be
     * used, creating them when they are missing; nothing when they can. The
     * workbook folder must be a real folder of this user that can be written.
     */
    static std::optional<FolderProblem> folderProblem(const QString& folder = workbookFolder());

    /**
     * Why a tiny workbook cannot be written into the folder and removed again
     * (a full disk, a quota); nothing when it can.
     */
    static std::optional<FolderProblem> trialWriteProblem(const QString& folder = workbookFolder());

    /**
     * Where workbooks go: the folder "Quorvane" among the user's documents.
     * The file is the user's work and must outlive the session, so it goes
     * where documents live: the folder xdg-user-dir names for DOCUMENTS, else
     * ~/Documents, else the home folder. Created mode 0700 when missing; one
     * that exists is used as it is, if it is a real folder of this user.
     */
    static QString workbookFolder();

    /**
     * Where cells wait for the file to be written: $XDG_CACHE_HOME/quorvane/scratch
     * (~/.cache when unset), mode 0700. On disk rather than in the runtime
     * folder, which is usually a small memory-backed file system that a large
     * table would fill. Its files have no names and vanish with the process.
     */
    static QString scratchFolder();

    /**
     * For an end of the program at once: removes the named files a write in
     * progress has made (the ".part" file). The cells themselves are kept in
     * files without a name, which the system removes with the process.
     */
    static void discardUnfinishedFiles();

    /**
     * For the start of the program: removes the ".xlsx.part" files of the
     * workbook folder that a run ended while writing (killed, or the machine
     * stopped) left behind. A file that another running instance is writing
     * is kept: the writer holds a lock on it for as long as it writes.
     */
    static void removeAbandonedFiles(const QString& folder = workbookFolder());

private:
    friend struct ModelAccess;
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace xl
