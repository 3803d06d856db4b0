#include "platform/odbc/Odbc.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_set>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must speak UTF-16");

namespace odbc {
namespace {

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

void Connection::open(const QString& connectionString)
{
    if (d->state->isOpen())
        raise(ErrOpen, "Operation is not allowed when the object is open.");
    // A fresh state, so record sets of an earlier open keep theirs.
    auto state = std::make_shared<ConnectionState>();
    const auto connect = [&](const QString& text) {
        auto handle = std::make_unique<ConnectionHandle>(EnvironmentHandle::shared());
        SQLHDBC dbc = handle->get();
        SQLRETURN rc = SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT,
            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(0, d->loginTimeout))), 0);
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
    };
    const auto driverName = [](SQLHDBC dbc) {
        SQLWCHAR driver[256] = {};
        SQLSMALLINT driverLength = 0;
        if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DRIVER_NAME, driver, sizeof(driver), &driverLength)))
            return QString();
        return QString::fromUtf16(reinterpret_cast<const char16_t*>(driver));
    };

    state->dbc = connect(connectionString);
    const bool sqlite = driverName(state->dbc->get()).contains(QLatin1String("sqlite"), Qt::CaseInsensitive);
    state->sqlite = sqlite;
    state->narrowForAstral = sqlite;
    state->textIsUtf8 = sqlite;
    // The SQLite driver reads a whole result into memory before the first row
    // unless it is told to step through it; a table of a million rows would
    // then cost its size in memory and a long pause. Streaming is asked for in
    // the one way that driver understands, on top of the string as given.
    if (sqlite && !connectionString.contains(QLatin1String("StepAPI"), Qt::CaseInsensitive)) {
        QString streaming = connectionString;
        if (!streaming.endsWith(QLatin1Char(';')))
            streaming += QLatin1Char(';');
        streaming += QLatin1String("StepAPI=1;");
        try {
            state->dbc = connect(streaming);
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
    const QString text = sql;
    SQLRETURN rc = execDirect(*d->state, statement, text);
    if (rc != SQL_NO_DATA)
        statement.check(rc, "SQLExecDirect");
    // A driver that steps through statements lazily finishes one that yields
    // rows (a PRAGMA, an INSERT written as a WITH query) only as they are read.
    SQLSMALLINT columns = 0;
    if (SQL_SUCCEEDED(SQLNumResultCols(statement.get(), &columns)) && columns > 0) {
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

int adoTypeFor(SQLSMALLINT type, SQLULEN size)
{
    switch (type) {
    case SQL_CHAR:
        return 129; // adChar
    case SQL_VARCHAR:
        return 200; // adVarChar
    case SQL_LONGVARCHAR:
        return 201; // adLongVarChar
    case SQL_WCHAR:
        return 130; // adWChar
    case SQL_WVARCHAR:
        return 202; // adVarWChar
    case SQL_WLONGVARCHAR:
        return 203; // adLongVarWChar
    case SQL_TINYINT:
        return 17; // adUnsignedTinyInt
    case SQL_SMALLINT:
        return 2; // adSmallInt
    case SQL_INTEGER:
        return 3; // adInteger
    case SQL_BIGINT:
        return 20; // adBigInt
    case SQL_REAL:
        return 4; // adSingle
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return 5; // adDouble
    case SQL_DECIMAL:
        return 14; // adDecimal
    case SQL_NUMERIC:
        return 131; // adNumeric
    case SQL_BIT:
        return 11; // adBoolean
    case SQL_GUID:
        return 72; // adGUID
    case SQL_TYPE_DATE:
    case SQL_DATE:
        return 133; // adDBDate
    case SQL_TYPE_TIME:
    case SQL_TIME:
        return 134; // adDBTime
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
        return 135; // adDBTimeStamp
    case SQL_BINARY:
        return size == 0 ? adLongVarBinary : 128; // adBinary
    case SQL_VARBINARY:
        return size == 0 ? adLongVarBinary : 204; // adVarBinary
    case SQL_LONGVARBINARY:
        return adLongVarBinary;
    default:
        return 200;
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

/**
 * Appends UTF-16 as UTF-8. A high surrogate at the end of a chunk is carried
 * in `pending` until the next chunk; unpaired surrogates become U+FFFD.
 * Returns the number of UTF-16 units consumed into output (for the length).
 */
void appendUtf8(std::string& out, const char16_t* in, std::size_t count, char16_t& pending)
{
    const std::size_t start = out.size();
    out.resize(start + (count + 1) * 3);
    char* p = out.data() + start;
    auto put = [&p](char32_t c) {
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t u = in[i];
        if (pending) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
                put(0x10000 + ((static_cast<char32_t>(pending) - 0xD800) << 10) + (u - 0xDC00));
                pending = 0;
                continue;
            }
            put(0xFFFD);
            pending = 0;
        }
        if (u < 0x80) {
            *p++ = static_cast<char>(u);
        } else if (u >= 0xD800 && u <= 0xDBFF) {
            pending = u;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

void flushPending(std::string& out, char16_t& pending)
{
    if (pending) {
        out.append("\xEF\xBF\xBD");
        pending = 0;
    }
}

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
            raise(ErrItemNotFound,
                "Item cannot be found in the collection corresponding to the requested name or ordinal.");
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
        SQLHSTMT h = statement->get();
        const auto column = static_cast<SQLUSMALLINT>(index + 1);
        out.bytes.clear();
        out.utf16Length = 0;
        out.number = 0;
        out.longer = false;
        const std::size_t keepUnits = bounded ? MaxKeptUnits : std::numeric_limits<std::size_t>::max();
        const std::size_t keepBytes = bounded ? MaxKeptBytes : std::numeric_limits<std::size_t>::max();
        SQLLEN indicator = 0;
        switch (readAs[static_cast<std::size_t>(index)]) {
        case ReadAs::Double: {
            SQLRETURN rc = SQLGetData(h, column, SQL_C_DOUBLE, &out.number, sizeof(out.number), &indicator);
            statement->check(rc, "SQLGetData");
            out.kind = indicator == SQL_NULL_DATA ? FieldValue::Null : FieldValue::Double;
            return;
        }
        case ReadAs::Wide: {
            char16_t pending = 0;
            // FreeTDS hands a sql_variant out whole at every call: it is asked for in one piece.
            const std::size_t firstUnits
                = fields[std::size_t(index)].sqlType == SqlServerVariant ? wideBuffer.size() - 1 : FirstPiece;
            SQLLEN bufferBytes = static_cast<SQLLEN>((firstUnits + 1) * sizeof(SQLWCHAR));
            SQLLEN room = bufferBytes - static_cast<SQLLEN>(sizeof(SQLWCHAR));
            for (bool first = true;; first = false) {
                if (!first) { // the rest of a long value, in large pieces
                    bufferBytes = static_cast<SQLLEN>(wideBuffer.size() * sizeof(SQLWCHAR));
                    room = bufferBytes - static_cast<SQLLEN>(sizeof(SQLWCHAR));
                }
                SQLRETURN rc = SQLGetData(h, column, SQL_C_WCHAR, wideBuffer.data(), bufferBytes, &indicator);
                if (rc == SQL_NO_DATA)
                    break;
                statement->check(rc, "SQLGetData");
                if (indicator == SQL_NULL_DATA) {
                    out.kind = FieldValue::Null;
                    return;
                }
                const SQLLEN got = (indicator == SQL_NO_TOTAL || indicator > room) ? room : indicator;
                const bool complete = rc == SQL_SUCCESS || got == indicator;
                auto units = static_cast<std::size_t>(got) / sizeof(SQLWCHAR);
                const std::size_t space = keepUnits - out.utf16Length;
                const bool cut = units > space || (units == space && !complete);
                units = std::min(units, space);
                appendUtf8(out.bytes, reinterpret_cast<const char16_t*>(wideBuffer.data()), units, pending);
                out.utf16Length += units;
                if (cut) {
                    out.longer = true;
                    if (pending) { // the cut falls inside a pair: its first half goes too
                        pending = 0;
                        --out.utf16Length;
                    }
                    break;
                }
                if (complete)
                    break;
            }
            flushPending(out.bytes, pending);
            out.kind = FieldValue::Text;
            return;
        }
        case ReadAs::Char:
        case ReadAs::Binary: {
            const bool binary = readAs[static_cast<std::size_t>(index)] == ReadAs::Binary;
            const SQLSMALLINT target = binary ? SQL_C_BINARY : SQL_C_CHAR;
            auto bufferBytes = static_cast<SQLLEN>(FirstPiece + 1);
            std::size_t units = 0; // of the text kept so far, in UTF-16
            for (bool first = true;; first = false) {
                if (!first) // the rest of a long value, in large pieces
                    bufferBytes = static_cast<SQLLEN>(byteBuffer.size());
                const SQLLEN room = binary ? bufferBytes : bufferBytes - 1;
                SQLRETURN rc = SQLGetData(h, column, target, byteBuffer.data(), bufferBytes, &indicator);
                if (rc == SQL_NO_DATA)
                    break;
                statement->check(rc, "SQLGetData");
                if (indicator == SQL_NULL_DATA) {
                    out.kind = FieldValue::Null;
                    return;
                }
                const SQLLEN got = (indicator == SQL_NO_TOTAL || indicator > room) ? room : indicator;
                const bool complete = rc == SQL_SUCCESS || got == indicator;
                auto keep = static_cast<std::size_t>(got);
                bool cut = false;
                if (binary) {
                    const std::size_t space = keepBytes - out.bytes.size();
                    cut = keep > space || (keep == space && !complete);
                    keep = std::min(keep, space);
                } else {
                    // UTF-8: one unit a sequence, two for the four-byte ones. The
                    // cut goes before the first character that does not fit, so
                    // the last one kept is whole even across pieces.
                    for (std::size_t i = 0; i < keep; ++i) {
                        const auto c = static_cast<unsigned char>(byteBuffer[i]);
                        if ((c & 0xC0) == 0x80)
                            continue;
                        const std::size_t width = c >= 0xF0 ? 2 : 1;
                        if (units + width > keepUnits) {
                            keep = i;
                            cut = true;
                            break;
                        }
                        units += width;
                    }
                }
                out.bytes.append(byteBuffer.data(), keep);
                if (cut) {
                    out.longer = true;
                    break;
                }
                if (complete)
                    break;
            }
            if (binary) {
                out.kind = FieldValue::Binary;
            } else {
                out.kind = FieldValue::Text;
                out.utf16Length = units;
            }
            return;
        }
        }
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

void Recordset::open(const QString& source, Connection& connection, int cursorType, int)
{
    if (d->isOpen())
        raise(ErrOpen, "Operation is not allowed when the object is open.");
    auto state = connection.d->state;
    if (!state->isOpen())
        raiseClosed();
    long long count = -1;
    if (cursorType == adOpenStatic) {
        StatementHandle counter(state);
        const QString text = QStringLiteral("SELECT COUNT(*) FROM (") + source + QStringLiteral(") AS q");
        counter.check(execDirect(*state, counter, text), "SQLExecDirect");
        SQLRETURN rc = SQLFetch(counter.get());
        if (rc != SQL_NO_DATA) {
            counter.check(rc, "SQLFetch");
            SQLBIGINT n = 0;
            SQLLEN indicator = 0;
            counter.check(SQLGetData(counter.get(), 1, SQL_C_SBIGINT, &n, sizeof(n), &indicator), "SQLGetData");
            if (indicator != SQL_NULL_DATA)
                count = n;
        }
    }
    auto statement = std::make_unique<StatementHandle>(state);
    const QString text = source;
    SQLRETURN rc = execDirect(*state, *statement, text);
    if (rc != SQL_NO_DATA)
        statement->check(rc, "SQLExecDirect");
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
    raise(ErrItemNotFound, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
}

void Recordset::read(int index, FieldValue& out)
{
    d->requireRow();
    d->checkIndex(index);
    if (index < d->nextColumn)
        raise(-1, "Fields of a row must be read in rising order, each once.");
    // Columns skipped on the way are passed over without being kept.
    d->nextColumn = index + 1;
    d->take(index, out, true);
}

bool Recordset::isNull(int index)
{
    d->requireRow();
    d->checkIndex(index);
    if (index < d->nextColumn)
        raise(-1, "Fields of a row must be read in rising order, each once.");
    d->nextColumn = index + 1;
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
