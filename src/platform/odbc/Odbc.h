#pragma once

// The database access layer: a small, exception-raising wrapper over the
// unixODBC driver manager. Every failure throws quorvane::Error carrying a
// number (the driver's native error, or -1) and the driver's diagnostic text
// ("[SQLSTATE] message", all records joined). Handles are RAII, non-copyable,
// and each needs its parent handle to be created.

#include "platform/Error.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <string>
#include <vector>

#include <sql.h>
#include <sqlext.h>

namespace odbc {

class Recordset;

/**
 * How long, in seconds, a statement waits on a server that sends nothing
 * before it asks the server to cancel; a server that does not acknowledge
 * within as long again is given up and the connection closed. So no query,
 * fetch or read waits more than twice this on silence, while a slow link that
 * keeps sending is never cut. 30 unless changed; 0 waits for ever.
 */
void setQueryTimeout(int seconds);

/** ADO-style constants that callers pass. */
enum { adSchemaTables = 20, adOpenStatic = 3, adLockReadOnly = 1 };
/** ADO type code of long binary fields. */
enum { adLongVarBinary = 205 };

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /** Login time-out in seconds; 15 unless changed, as the classic access component has. */
    void setLoginTimeout(int seconds);

    /** Opens with the connection string as given (SQLDriverConnect, no prompt). */
    void open(const QString& connectionString);
    /** 0 closed, 1 open. */
    int state() const;
    void close();
    /**
     * Whether the link to the server is gone (the driver says so, or a
     * diagnostic of class 08, "connection exception", came with `failure`).
     */
    bool lost(const QString& failure = QString()) const;

    /**
     * Schema 20: SQLTables for every table type. Rows have the columns
     * "TABLE_TYPE", "TABLE_NAME" and "TABLE_SCHEM" (the schema, may be null).
     */
    std::unique_ptr<Recordset> openSchema(int schema);

    /** Whether the database is a file of the SQLite driver's rather than a server's. */
    bool isFileDatabase() const;

    /** Runs a statement that returns no rows (used by fixtures and the demo). */
    void execute(const QString& sql);

private:
    friend class Recordset;
    struct Impl;
    std::unique_ptr<Impl> d;
};

/**
 * What the bulk reader keeps of a long value: the 32,767 UTF-16 units a
 * spreadsheet cell holds, and of binary data the bytes whose hex ("0x" and
 * two digits a byte) fills such a cell. The rest is never fetched.
 */
inline constexpr std::size_t MaxKeptUnits = 32767;
inline constexpr std::size_t MaxKeptBytes = (MaxKeptUnits - 2 + 1) / 2;

/**
 * One value as it arrived from the driver, in buffers that are reused from
 * cell to cell so that reading a large table allocates nothing per value.
 */
struct FieldValue {
    enum Kind { Null, Text, Double, Binary };
    Kind kind = Null;
    double number = 0;
    /** Text: UTF-8. Binary: the raw bytes. */
    std::string bytes;
    /** Text: its length in UTF-16 code units (the unit of a spreadsheet cell's limit). */
    std::size_t utf16Length = 0;
    /** The value went on beyond what was kept (MaxKeptUnits, MaxKeptBytes). */
    bool longer = false;
};

struct FieldInfo {
    QString name;
    SQLSMALLINT sqlType = SQL_UNKNOWN_TYPE;
    SQLULEN size = 0;
    /**
     * ADO-style type code: 205 for long binary (SQL_LONGVARBINARY, binary of
     * unlimited size, SQLite's BLOB); binary and character data have their
     * own codes, every other type 200.
     */
    int adoType = 0;
};

class Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    /**
     * Runs the query and positions on the first row. With a static cursor the
     * server's row count is taken first ("SELECT COUNT(*) FROM (query)") and
     * answered by recordCount(); the rows themselves are streamed, not held.
     */
    void open(
        const QString& source, Connection& connection, int cursorType = adOpenStatic, int lockType = adLockReadOnly);
    /** 0 closed, 1 open. */
    int state() const;
    void close();

    /** The row count taken at open (static cursor), -1 when unknown. */
    long long recordCount() const;

    int fieldCount() const;
    const FieldInfo& field(int index) const;
    QString fieldName(int index) const;
    int fieldType(int index) const;

    /** A field's value of the current row (null QVariant for SQL NULL); any order, any number of times. */
    QVariant value(int index);
    QVariant value(const QString& name);

    /**
     * Fast path for bulk copies: reads field `index` of the current row into
     * `out`. Fields must be read in rising order, each at most once per row.
     * Integers, decimals, dates, times, bits and identifiers arrive as their
     * exact text; floating point as Double; character data as UTF-8 Text;
     * binary as Binary. A longer value is kept up to MaxKeptUnits (text, never
     * half a surrogate pair) or MaxKeptBytes (binary) and marked `longer`.
     */
    void read(int index, FieldValue& out);

    /**
     * Whether field `index` of the current row is null, learnt without reading
     * any of it; the same order rules as read() apply, and the field is not
     * read after.
     */
    bool isNull(int index);

    bool eof() const;
    void moveNext();

    /**
     * Asks the driver to stop the call that another thread is making on this
     * record set (SQLCancel): a fetch that waits on the server then ends with
     * an error once the server has acknowledged. The record set must stay
     * open until that call has returned. A driver that cannot cancel leaves
     * the call to end by itself. Nothing is asked of the SQLite driver: its
     * cancel closes the cursor under the call in progress, and its calls wait
     * on no server anyway.
     */
    void cancel();

private:
    // The schema query hands its statement to a record set of its own.
    friend class Connection;
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace odbc
