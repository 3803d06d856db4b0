#include "platform/odbc/Odbc.h"

#include "platform/Utf8.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_set>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must speak UTF-16");

namespace odbc {
namespace {

namespace utf8 = quorvane::utf8;

// The numbers and texts the classic access component raises for misuse, so
// that a report reads the same whatever went wrong.
constexpr long ErrClosed = 3704;
constexpr long ErrOpen = 3705;
constexpr long ErrNoCurrentRow = 3021;
constexpr long ErrItemNotFound = 3265;

[[noreturn]] void raise(long number, const char* text)
{
    throw quorvane::Error(number, QString::fromUtf8(text));
}

[[noreturn]] void raiseClosed()
{
    raise(ErrClosed, "Operation is not allowed when the object is closed.");
}

[[noreturn]] void raiseOpen()
{
    raise(ErrOpen, "Operation is not allowed when the object is open.");
}

[[noreturn]] void raiseItemNotFound()
{
    raise(ErrItemNotFound, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
}

const SQLWCHAR* wide(const QString& text)
{
    return reinterpret_cast<const SQLWCHAR*>(text.utf16());
}

/**
 * Gathers every diagnostic record of a handle into one error: the first
 * record's native number (or -1 when the driver gives none) and all records
 * as "[SQLSTATE] message", one per line.
 */
[[noreturn]] void raiseDiagnostics(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc, const char* action)
{
    long number = 0;
    QStringList lines;
    if (handle != SQL_NULL_HANDLE && rc != SQL_INVALID_HANDLE) {
        for (SQLSMALLINT record = 1;; ++record) {
            SQLWCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLSMALLINT length = 0;
            std::vector<SQLWCHAR> message(1024);
            SQLRETURN r = SQLGetDiagRecW(type, handle, record, state, &native, message.data(),
                static_cast<SQLSMALLINT>(message.size()), &length);
            if (r == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
                message.resize(static_cast<std::size_t>(length) + 1);
                r = SQLGetDiagRecW(type, handle, record, state, &native, message.data(),
                    static_cast<SQLSMALLINT>(message.size()), &length);
            }
            if (!SQL_SUCCEEDED(r))
                break;
            length = std::min<SQLSMALLINT>(length, static_cast<SQLSMALLINT>(message.size() - 1));
            if (number == 0 && native != 0)
                number = native;
            lines << QStringLiteral("[%1] %2").arg(QString::fromUtf16(reinterpret_cast<const char16_t*>(state), 5),
                QString::fromUtf16(reinterpret_cast<const char16_t*>(message.data()), length));
        }
    }
    if (lines.isEmpty())
        lines << QStringLiteral("%1 failed (return code %2) without a diagnostic record")
                     .arg(QLatin1String(action))
                     .arg(rc);
    throw quorvane::Error(number != 0 ? number : -1, lines.join(QLatin1Char('\n')));
}

/** The one ODBC 3 environment of the process, shared by every connection. */
class EnvironmentHandle {
public:
    EnvironmentHandle()
    {
        SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_handle);
        if (!SQL_SUCCEEDED(rc))
            raise(-1, "The ODBC driver manager could not allocate an environment.");
        rc = SQLSetEnvAttr(m_handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        if (!SQL_SUCCEEDED(rc)) {
            try {
                raiseDiagnostics(SQL_HANDLE_ENV, m_handle, rc, "SQLSetEnvAttr");
            } catch (...) {
                SQLFreeHandle(SQL_HANDLE_ENV, m_handle);
                throw;
            }
        }
    }
    ~EnvironmentHandle() { SQLFreeHandle(SQL_HANDLE_ENV, m_handle); }
    EnvironmentHandle(const EnvironmentHandle&) = delete;
    EnvironmentHandle& operator=(const EnvironmentHandle&) = delete;

    SQLHENV get() const { return m_handle; }

    static std::shared_ptr<EnvironmentHandle> shared()
    {
        // Connections keep it alive; a new one is made only after all are gone.
        // Connections are opened on more than one thread.
        static std::mutex lock;
        const std::lock_guard<std::mutex> hold(lock);
        static std::weak_ptr<EnvironmentHandle> current;
        auto env = current.lock();
        if (!env) {
            env = std::make_shared<EnvironmentHandle>();
            current = env;
        }
        return env;
    }

private:
    SQLHENV m_handle = SQL_NULL_HENV;
};

class ConnectionHandle {
public:
    explicit ConnectionHandle(std::shared_ptr<EnvironmentHandle> env) : m_env(std::move(env))
    {
        SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, m_env->get(), &m_handle);
        if (!SQL_SUCCEEDED(rc))
            raiseDiagnostics(SQL_HANDLE_ENV, m_env->get(), rc, "SQLAllocHandle");
    }
    ~ConnectionHandle()
    {
        disconnect();
        SQLFreeHandle(SQL_HANDLE_DBC, m_handle);
    }
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;

    SQLHDBC get() const { return m_handle; }
    bool connected() const { return m_connected; }
    void setConnected() { m_connected = true; }
    void disconnect()
    {
        if (m_connected) {
            SQLDisconnect(m_handle);
            m_connected = false;
        }
    }

private:
    std::shared_ptr<EnvironmentHandle> m_env;
    SQLHDBC m_handle = SQL_NULL_HDBC;
    bool m_connected = false;
};

} // namespace

class StatementHandle;

/**
 * What a connection shares with the record sets opened on it. It outlives the
 * Connection object while any record set still refers to it, and closing the
 * connection frees the statements first, so neither order of closing leaves a
 * handle that points at freed driver state.
 */
struct ConnectionState {
    std::unique_ptr<ConnectionHandle> dbc;
    std::unordered_set<StatementHandle*> statements;
    /**
     * The SQLite driver garbles characters beyond the basic plane in wide
     * statement text (its narrow calls take UTF-8 and get them right).
     */
    bool narrowForAstral = false;
    /**
     * The SQLite driver keeps text as UTF-8 and hands it out as it is through
     * SQL_C_CHAR; asked for wide characters it first converts the whole value,
     * so one text of 100 MB would cost 200 MB more before a piece is read.
     */
    bool textIsUtf8 = false;
    bool sqlite = false;

    bool isOpen() const { return dbc && dbc->connected(); }
    void close();
};

std::atomic<int> g_queryTimeout = 30;

class StatementHandle {
public:
    explicit StatementHandle(std::shared_ptr<ConnectionState> connection) : m_connection(std::move(connection))
    {
        if (!m_connection->isOpen())
            raiseClosed();
        SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, m_connection->dbc->get(), &m_handle);
        if (!SQL_SUCCEEDED(rc))
            raiseDiagnostics(SQL_HANDLE_DBC, m_connection->dbc->get(), rc, "SQLAllocHandle");
        m_connection->statements.insert(this);
        // A driver that cannot bound its waits says so; the statement still runs.
        SQLSetStmtAttrW(m_handle, SQL_ATTR_QUERY_TIMEOUT,
            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(g_queryTimeout.load())), 0);
    }
    ~StatementHandle()
    {
        release();
        m_connection->statements.erase(this);
    }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    SQLHSTMT get() const
    {
        if (m_handle == SQL_NULL_HSTMT)
            raiseClosed();
        return m_handle;
    }
    bool alive() const { return m_handle != SQL_NULL_HSTMT; }
    void release()
    {
        if (m_handle != SQL_NULL_HSTMT) {
            SQLFreeHandle(SQL_HANDLE_STMT, m_handle);
            m_handle = SQL_NULL_HSTMT;
        }
    }
    /** Throws the statement's diagnostics unless rc is a success. */
    void check(SQLRETURN rc, const char* action) const
    {
        if (!SQL_SUCCEEDED(rc))
            raiseDiagnostics(SQL_HANDLE_STMT, m_handle, rc, action);
    }

private:
    std::shared_ptr<ConnectionState> m_connection;
    SQLHSTMT m_handle = SQL_NULL_HSTMT;
};

void setQueryTimeout(int seconds)
{
    g_queryTimeout = std::max(0, seconds);
}

void ConnectionState::close()
{
    for (StatementHandle* statement : statements)
        statement->release();
    if (dbc)
        dbc->disconnect();
    dbc.reset();
}

namespace {

SQLRETURN execDirect(const ConnectionState& connection, const StatementHandle& statement, const QString& text)
{
    if (connection.narrowForAstral) {
        const bool astral = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
        if (astral) {
            QByteArray utf8 = text.toUtf8();
            return SQLExecDirect(
                statement.get(), reinterpret_cast<SQLCHAR*>(utf8.data()), static_cast<SQLINTEGER>(utf8.size()));
        }
    }
    return SQLExecDirectW(statement.get(), const_cast<SQLWCHAR*>(wide(text)), static_cast<SQLINTEGER>(text.size()));
}

/** Runs a statement; SQL_NO_DATA (one that touched no row) is no failure. */
void run(const ConnectionState& connection, const StatementHandle& statement, const QString& text)
{
    const SQLRETURN rc = execDirect(connection, statement, text);
    if (rc != SQL_NO_DATA)
        statement.check(rc, "SQLExecDirect");
}

} // namespace

// ---------------------------------------------------------------------------
// Connection

struct Connection::Impl {
    std::shared_ptr<ConnectionState> state = std::make_shared<ConnectionState>();
    int loginTimeout = 15;
};

Connection::Connection() : d(std::make_unique<Impl>())
{ }

Connection::~Connection()
{
    close();
}

bool Connection::lost(const QString& failure) const
{
    if (failure.contains(QLatin1String("[08")))
        return true;
    if (!d->state->isOpen())
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc = SQLGetConnectAttrW(d->state->dbc->get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

void Connection::setLoginTimeout(int seconds)
{
    d->loginTimeout = seconds;
}

namespace {

/** A connection to what the string names, made with the login time-out given. */
std::unique_ptr<ConnectionHandle> connectWith(const QString& text, int loginTimeout)
{
    auto handle = std::make_unique<ConnectionHandle>(EnvironmentHandle::shared());
    SQLHDBC dbc = handle->get();
    SQLRETURN rc = SQLSetConnectAttrW(
        dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(0, loginTimeout))), 0);
    if (!SQL_SUCCEEDED(rc))
        raiseDiagnostics(SQL_HANDLE_DBC, dbc, rc, "SQLSetConnectAttr");
    std::vector<SQLWCHAR> completed(1024);
    SQLSMALLINT completedLength = 0;
    rc = SQLDriverConnectW(dbc, nullptr, const_cast<SQLWCHAR*>(wide(text)), static_cast<SQLSMALLINT>(text.size()),
        completed.data(), static_cast<SQLSMALLINT>(completed.size()), &completedLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc))
        raiseDiagnostics(SQL_HANDLE_DBC, dbc, rc, "SQLDriverConnect");
    handle->setConnected();
    return handle;
}

QString driverName(SQLHDBC dbc)
{
    SQLWCHAR driver[256] = {};
    SQLSMALLINT driverLength = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DRIVER_NAME, driver, sizeof(driver), &driverLength)))
        return QString();
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(driver));
}

/** The connection string with the SQLite driver's "StepAPI=1" on top. */
QString steppingString(const QString& connectionString)
{
    QString streaming = connectionString;
    if (!streaming.endsWith(QLatin1Char(';')))
        streaming += QLatin1Char(';');
    return streaming + QLatin1String("StepAPI=1;");
}

} // namespace

void Connection::open(const QString& connectionString)
{
    if (d->state->isOpen())
        raiseOpen();
    // A fresh state, so record sets of an earlier open keep theirs.
    auto state = std::make_shared<ConnectionState>();
    state->dbc = connectWith(connectionString, d->loginTimeout);
    const bool sqlite = driverName(state->dbc->get()).contains(QLatin1String("sqlite"), Qt::CaseInsensitive);
    state->sqlite = sqlite;
    state->narrowForAstral = sqlite;
    state->textIsUtf8 = sqlite;
    // The SQLite driver reads a whole result into memory before the first row
    // unless it is told to step through it; a table of a million rows would
    // then cost its size in memory and a long pause. Streaming is asked for in
    // the one way that driver understands, on top of the string as given.
    if (sqlite && !connectionString.contains(QLatin1String("StepAPI"), Qt::CaseInsensitive)) {
        try {
            state->dbc = connectWith(steppingString(connectionString), d->loginTimeout);
        } catch (const quorvane::Error&) {
            // Keep the connection made as asked; it only buffers more.
        }
    }
    d->state = std::move(state);
}

int Connection::state() const
{
    return d->state->isOpen() ? 1 : 0;
}

void Connection::close()
{
    d->state->close();
}

bool Connection::isFileDatabase() const
{
    return d->state->sqlite;
}

void Connection::execute(const QString& sql)
{
    StatementHandle statement(d->state);
    run(*d->state, statement, sql);
    // A driver that steps through statements lazily finishes one that yields
    // rows (a PRAGMA, an INSERT written as a WITH query) only as they are read.
    SQLSMALLINT columns = 0;
    if (SQL_SUCCEEDED(SQLNumResultCols(statement.get(), &columns)) && columns > 0) {
        SQLRETURN rc;
        while (SQL_SUCCEEDED(rc = SQLFetch(statement.get()))) { }
        if (rc != SQL_NO_DATA)
            statement.check(rc, "SQLFetch");
    }
}

// ---------------------------------------------------------------------------
// Recordset

namespace {

enum class ReadAs { Wide, Char, Double, Binary };

bool isCharacter(SQLSMALLINT type)
{
    switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
        return true;
    default:
        return false;
    }
}

bool isBinary(SQLSMALLINT type)
{
    return type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
}

bool isInteger(SQLSMALLINT type)
{
    return type == SQL_TINYINT || type == SQL_SMALLINT || type == SQL_INTEGER || type == SQL_BIGINT;
}

// SQL Server's own types that the ODBC headers do not name.
constexpr SQLSMALLINT SqlServerVariant = -150;
constexpr SQLSMALLINT SqlServerXml = -152;

ReadAs readAsFor(SQLSMALLINT type)
{
    // xml and sql_variant hold text of any script; as narrow text it would go
    // through the client's character set and lose what that set lacks.
    if (isCharacter(type) || type == SqlServerVariant || type == SqlServerXml)
        return ReadAs::Wide;
    if (isBinary(type))
        return ReadAs::Binary;
    if (type == SQL_DOUBLE || type == SQL_FLOAT || type == SQL_REAL)
        return ReadAs::Double;
    return ReadAs::Char;
}

/**
 * The ADO type code of a field. Callers look at it for long binary alone
 * (adLongVarBinary: the value is not shown); binary and character data keep
 * their own codes, and every other type answers adVarChar.
 */
int adoTypeFor(SQLSMALLINT type, SQLULEN size)
{
    switch (type) {
    case SQL_LONGVARBINARY:
        return adLongVarBinary;
    case SQL_BINARY:
        return size == 0 ? adLongVarBinary : 128; // adBinary
    case SQL_VARBINARY:
        return size == 0 ? adLongVarBinary : 204; // adVarBinary
    case SQL_CHAR:
        return 129; // adChar
    case SQL_LONGVARCHAR:
        return 201; // adLongVarChar
    case SQL_WCHAR:
        return 130; // adWChar
    case SQL_WVARCHAR:
        return 202; // adVarWChar
    case SQL_WLONGVARCHAR:
        return 203; // adLongVarWChar
    default:
        return 200; // adVarChar
    }
}

constexpr std::size_t WideChunk = 16384; // code units per SQLGetData call
constexpr std::size_t ByteChunk = 65536;
/**
 * Most values are short, and some drivers (SQLite's) take longer over each
 * call the larger the buffer they are handed, so a value is first asked for
 * in a small piece and only a longer one in large pieces after.
 */
constexpr std::size_t FirstPiece = 256;

} // namespace

struct Recordset::Impl {
    std::shared_ptr<ConnectionState> connection;
    std::unique_ptr<StatementHandle> statement;
    std::vector<FieldInfo> fields;
    std::vector<ReadAs> readAs;
    long long count = -1;
    bool atEnd = true;

    // The current row: columns before `nextColumn` have been taken from the
    // driver; those taken through value() are kept here for reading again.
    int nextColumn = 0;
    std::vector<QVariant> cache;
    std::vector<bool> cached;

    std::vector<SQLWCHAR> wideBuffer = std::vector<SQLWCHAR>(WideChunk + 1);
    std::vector<char> byteBuffer = std::vector<char>(ByteChunk + 1);
    FieldValue scratch;

    bool isOpen() const { return statement && statement->alive(); }
    void requireOpen() const
    {
        if (!isOpen())
            raiseClosed();
    }
    void requireRow() const
    {
        requireOpen();
        if (atEnd)
            raise(ErrNoCurrentRow,
                "Either BOF or EOF is True, or the current record has been deleted. Requested "
                "operation requires a current record.");
    }

    void attach(std::shared_ptr<ConnectionState> state, std::unique_ptr<StatementHandle> stmt)
    {
        connection = std::move(state);
        statement = std::move(stmt);
        describe();
        fetch();
    }

    void describe()
    {
        SQLHSTMT h = statement->get();
        SQLSMALLINT columns = 0;
        statement->check(SQLNumResultCols(h, &columns), "SQLNumResultCols");
        fields.clear();
        readAs.clear();
        for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columns); ++i) {
            std::vector<SQLWCHAR> name(256);
            SQLSMALLINT nameLength = 0;
            FieldInfo info;
            SQLSMALLINT digits = 0;
            SQLSMALLINT nullable = 0;
            SQLRETURN rc = SQLDescribeColW(h, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                &info.sqlType, &info.size, &digits, &nullable);
            if (rc == SQL_SUCCESS_WITH_INFO && nameLength >= static_cast<SQLSMALLINT>(name.size())) {
                name.resize(static_cast<std::size_t>(nameLength) + 1);
                rc = SQLDescribeColW(h, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                    &info.sqlType, &info.size, &digits, &nullable);
            }
            statement->check(rc, "SQLDescribeCol");
            nameLength = std::min<SQLSMALLINT>(nameLength, static_cast<SQLSMALLINT>(name.size() - 1));
            info.name = QString::fromUtf16(reinterpret_cast<const char16_t*>(name.data()), nameLength);
            info.adoType = adoTypeFor(info.sqlType, info.size);
            if (info.sqlType == SQL_BINARY || info.sqlType == SQL_VARBINARY) {
                // SQLite's BLOB has no size limit but is described with a
                // nominal size of 255; it is long binary all the same.
                SQLWCHAR typeName[64] = {};
                SQLSMALLINT typeNameLength = 0;
                if (SQL_SUCCEEDED(SQLColAttributeW(
                        h, i, SQL_DESC_TYPE_NAME, typeName, sizeof(typeName), &typeNameLength, nullptr))
                    && QString::fromUtf16(reinterpret_cast<const char16_t*>(typeName))
                            .compare(QLatin1String("blob"), Qt::CaseInsensitive)
                        == 0)
                    info.adoType = adLongVarBinary;
            }
            fields.push_back(info);
            ReadAs how = readAsFor(info.sqlType);
            if (how == ReadAs::Wide && connection->textIsUtf8)
                how = ReadAs::Char;
            readAs.push_back(how);
        }
        cache.assign(fields.size(), QVariant());
        cached.assign(fields.size(), false);
    }

    void fetch()
    {
        SQLRETURN rc = SQLFetch(statement->get());
        nextColumn = 0;
        std::fill(cached.begin(), cached.end(), false);
        if (rc == SQL_NO_DATA) {
            atEnd = true;
            return;
        }
        atEnd = false;
        try {
            statement->check(rc, "SQLFetch");
        } catch (...) {
            atEnd = true;
            throw;
        }
    }

    void checkIndex(int index) const
    {
        if (index < 0 || index >= static_cast<int>(fields.size()))
            raiseItemNotFound();
    }

    /** Makes column `index` of the current row the next one read by the bulk reader, which goes in rising order. */
    void passTo(int index)
    {
        requireRow();
        checkIndex(index);
        if (index < nextColumn)
            raise(-1, "Fields of a row must be read in rising order, each once.");
        nextColumn = index + 1;
    }

    /**
     * Takes column `index` (0-based) of the current row from the driver. A
     * `bounded` read keeps what a cell holds and leaves the rest unfetched;
     * the driver drops it when the next column or row is asked for.
     *
     * Long values come in pieces, and the piece whose length indicator fits
     * the buffer is the last one whatever the return code says: FreeTDS 1.3
     * answers every call for a sql_variant with "data truncated" and the
     * whole value again, so waiting for SQL_SUCCESS would never end.
     */
    void take(int index, FieldValue& out, bool bounded)
    {
        const auto column = static_cast<SQLUSMALLINT>(index + 1);
        out.bytes.clear();
        out.utf16Length = 0;
        out.number = 0;
        out.longer = false;
        const std::size_t keepUnits = bounded ? MaxKeptUnits : std::numeric_limits<std::size_t>::max();
        const std::size_t keepBytes = bounded ? MaxKeptBytes : std::numeric_limits<std::size_t>::max();
        switch (readAs[static_cast<std::size_t>(index)]) {
        case ReadAs::Double:
            return takeDouble(column, out);
        case ReadAs::Wide:
            return takeWide(column, fields[std::size_t(index)].sqlType, keepUnits, out);
        case ReadAs::Char:
            return takeChar(column, keepUnits, out);
        case ReadAs::Binary:
            return takeBinary(column, keepBytes, out);
        }
    }

    void takeDouble(SQLUSMALLINT column, FieldValue& out)
    {
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(statement->get(), column, SQL_C_DOUBLE, &out.number, sizeof(out.number), &indicator);
        statement->check(rc, "SQLGetData");
        out.kind = indicator == SQL_NULL_DATA ? FieldValue::Null : FieldValue::Double;
    }

    /**
     * Hands the column's value to `keep` piece by piece, as SQLGetData gives
     * it into `buffer`: first `firstBytes` of it, then the whole buffer
     * (`laterBytes`) a call. `keep` is told the bytes a piece holds (without
     * the `terminator` the driver puts after text) and whether it is the last,
     * and answers false once it wants no more. False for a null.
     */
    template <class Keep>
    bool takePieces(SQLUSMALLINT column, SQLSMALLINT target, void* buffer, SQLLEN firstBytes, SQLLEN laterBytes,
        SQLLEN terminator, Keep&& keep)
    {
        for (SQLLEN bufferBytes = firstBytes;; bufferBytes = laterBytes) {
            SQLLEN indicator = 0;
            const SQLRETURN rc = SQLGetData(statement->get(), column, target, buffer, bufferBytes, &indicator);
            if (rc == SQL_NO_DATA)
                return true;
            statement->check(rc, "SQLGetData");
            if (indicator == SQL_NULL_DATA)
                return false;
            const SQLLEN room = bufferBytes - terminator;
            const SQLLEN got = (indicator == SQL_NO_TOTAL || indicator > room) ? room : indicator;
            const bool complete = rc == SQL_SUCCESS || got == indicator;
            if (!keep(static_cast<std::size_t>(got), complete) || complete)
                return true;
        }
    }

    /** Text asked for as UTF-16, kept as UTF-8 up to `keepUnits`, never half a surrogate pair. */
    void takeWide(SQLUSMALLINT column, SQLSMALLINT sqlType, std::size_t keepUnits, FieldValue& out)
    {
        char16_t pending = 0;
        // FreeTDS hands a sql_variant out whole at every call: it is asked for in one piece.
        const std::size_t firstUnits = sqlType == SqlServerVariant ? wideBuffer.size() - 1 : FirstPiece;
        const auto unit = static_cast<SQLLEN>(sizeof(SQLWCHAR));
        const auto keep = [&](std::size_t got, bool complete) {
            auto units = got / sizeof(SQLWCHAR);
            const std::size_t space = keepUnits - out.utf16Length;
            const bool cut = units > space || (units == space && !complete);
            units = std::min(units, space);
            utf8::appendUtf16(out.bytes, reinterpret_cast<const char16_t*>(wideBuffer.data()), units, pending);
            out.utf16Length += units;
            if (cut) {
                out.longer = true;
                if (pending) { // the cut falls inside a pair: its first half goes too
                    pending = 0;
                    --out.utf16Length;
                }
            }
            return !cut;
        };
        if (!takePieces(column, SQL_C_WCHAR, wideBuffer.data(), static_cast<SQLLEN>(firstUnits + 1) * unit,
                static_cast<SQLLEN>(wideBuffer.size()) * unit, unit, keep)) {
            out.kind = FieldValue::Null;
            return;
        }
        utf8::finishUtf16(out.bytes, pending);
        out.kind = FieldValue::Text;
    }

    /** Text asked for as it is (UTF-8, or the exact text of a number or date), kept up to `keepUnits`. */
    void takeChar(SQLUSMALLINT column, std::size_t keepUnits, FieldValue& out)
    {
        std::size_t units = 0; // of the text kept so far, in UTF-16
        const auto keep = [&](std::size_t got, bool) {
            bool cut = false;
            const std::size_t kept = utf8::pieceWithin(std::string_view(byteBuffer.data(), got), keepUnits, units, cut);
            out.bytes.append(byteBuffer.data(), kept);
            out.longer = cut;
            return !cut;
        };
        if (!takePieces(column, SQL_C_CHAR, byteBuffer.data(), static_cast<SQLLEN>(FirstPiece + 1),
                static_cast<SQLLEN>(byteBuffer.size()), 1, keep)) {
            out.kind = FieldValue::Null;
            return;
        }
        out.kind = FieldValue::Text;
        out.utf16Length = units;
    }

    void takeBinary(SQLUSMALLINT column, std::size_t keepBytes, FieldValue& out)
    {
        const auto keep = [&](std::size_t got, bool complete) {
            const std::size_t space = keepBytes - out.bytes.size();
            const bool cut = got > space || (got == space && !complete);
            out.bytes.append(byteBuffer.data(), std::min(got, space));
            out.longer = cut;
            return !cut;
        };
        const bool value = takePieces(column, SQL_C_BINARY, byteBuffer.data(), static_cast<SQLLEN>(FirstPiece + 1),
            static_cast<SQLLEN>(byteBuffer.size()), 0, keep);
        out.kind = value ? FieldValue::Binary : FieldValue::Null;
    }

    QVariant toVariant(int index, const FieldValue& v) const
    {
        switch (v.kind) {
        case FieldValue::Null:
            return QVariant();
        case FieldValue::Double:
            return v.number;
        case FieldValue::Binary:
            return QByteArray(v.bytes.data(), static_cast<qsizetype>(v.bytes.size()));
        case FieldValue::Text:
            break;
        }
        const QString text = QString::fromUtf8(v.bytes.data(), static_cast<qsizetype>(v.bytes.size()));
        if (isInteger(fields[static_cast<std::size_t>(index)].sqlType)) {
            bool ok = false;
            const qlonglong n = text.toLongLong(&ok);
            if (ok)
                return n;
        }
        return text;
    }

    QVariant value(int index)
    {
        requireRow();
        checkIndex(index);
        const auto i = static_cast<std::size_t>(index);
        if (index < nextColumn) {
            if (!cached[i])
                raise(-1, "The field was already read by the bulk reader and cannot be read again in this row.");
            return cache[i];
        }
        // The driver hands columns out in rising order only, so the ones
        // skipped on the way are kept for a later request.
        for (int j = nextColumn; j <= index; ++j) {
            take(j, scratch, false);
            nextColumn = j + 1;
            cache[static_cast<std::size_t>(j)] = toVariant(j, scratch);
            cached[static_cast<std::size_t>(j)] = true;
        }
        return cache[i];
    }
};

Recordset::Recordset() : d(std::make_unique<Impl>())
{ }

Recordset::~Recordset()
{
    close();
}

namespace {

/** The server's count of the rows a query yields, -1 when it answers none. */
long long rowCount(const std::shared_ptr<ConnectionState>& state, const QString& source)
{
    StatementHandle counter(state);
    const QString text = QStringLiteral("SELECT COUNT(*) FROM (") + source + QStringLiteral(") AS q");
    counter.check(execDirect(*state, counter, text), "SQLExecDirect");
    SQLRETURN rc = SQLFetch(counter.get());
    if (rc == SQL_NO_DATA)
        return -1;
    counter.check(rc, "SQLFetch");
    SQLBIGINT n = 0;
    SQLLEN indicator = 0;
    counter.check(SQLGetData(counter.get(), 1, SQL_C_SBIGINT, &n, sizeof(n), &indicator), "SQLGetData");
    return indicator == SQL_NULL_DATA ? -1 : n;
}

} // namespace

void Recordset::open(const QString& source, Connection& connection, int cursorType, int)
{
    if (d->isOpen())
        raiseOpen();
    auto state = connection.d->state;
    if (!state->isOpen())
        raiseClosed();
    const long long count = cursorType == adOpenStatic ? rowCount(state, source) : -1;
    auto statement = std::make_unique<StatementHandle>(state);
    run(*state, *statement, source);
    d->attach(std::move(state), std::move(statement));
    d->count = count;
}

int Recordset::state() const
{
    return d->isOpen() ? 1 : 0;
}

void Recordset::close()
{
    d->statement.reset();
    d->connection.reset();
    d->fields.clear();
    d->readAs.clear();
    d->cache.clear();
    d->cached.clear();
    d->count = -1;
    d->atEnd = true;
}

long long Recordset::recordCount() const
{
    d->requireOpen();
    return d->count;
}

int Recordset::fieldCount() const
{
    d->requireOpen();
    return static_cast<int>(d->fields.size());
}

const FieldInfo& Recordset::field(int index) const
{
    d->requireOpen();
    d->checkIndex(index);
    return d->fields[static_cast<std::size_t>(index)];
}

QString Recordset::fieldName(int index) const
{
    return field(index).name;
}

int Recordset::fieldType(int index) const
{
    return field(index).adoType;
}

QVariant Recordset::value(int index)
{
    return d->value(index);
}

QVariant Recordset::value(const QString& name)
{
    d->requireOpen();
    for (std::size_t i = 0; i < d->fields.size(); ++i) {
        if (d->fields[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return d->value(static_cast<int>(i));
    }
    raiseItemNotFound();
}

void Recordset::read(int index, FieldValue& out)
{
    // Columns skipped on the way are passed over without being kept.
    d->passTo(index);
    d->take(index, out, true);
}

bool Recordset::isNull(int index)
{
    d->passTo(index);
    // A buffer of no size gives the length, or that there is no value, and leaves the value where it is.
    char none = 0;
    SQLLEN indicator = 0;
    const SQLRETURN rc
        = SQLGetData(d->statement->get(), static_cast<SQLUSMALLINT>(index + 1), SQL_C_BINARY, &none, 0, &indicator);
    if (rc == SQL_NO_DATA)
        return false;
    d->statement->check(rc, "SQLGetData");
    return indicator == SQL_NULL_DATA;
}

bool Recordset::eof() const
{
    d->requireOpen();
    return d->atEnd;
}

void Recordset::moveNext()
{
    d->requireRow();
    d->fetch();
}

void Recordset::cancel()
{
    if (!d->isOpen() || d->connection->sqlite)
        return;
    // Best effort by nature: whatever the driver answers, the call it was
    // asked to stop reports how it ended.
    SQLCancel(d->statement->get());
}

// ---------------------------------------------------------------------------

std::unique_ptr<Recordset> Connection::openSchema(int schema)
{
    if (!d->state->isOpen())
        raiseClosed();
    if (schema != adSchemaTables)
        raise(-1, "Only the schema of tables (20) is supported.");
    auto statement = std::make_unique<StatementHandle>(d->state);
    statement->check(SQLTablesW(statement->get(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), "SQLTables");
    auto records = std::make_unique<Recordset>();
    records->d->attach(d->state, std::move(statement));
    return records;
}

} // namespace odbc
