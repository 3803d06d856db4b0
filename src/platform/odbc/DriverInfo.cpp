#include "platform/odbc/DriverInfo.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <mutex>
#include <vector>

#include <sql.h>
#include <sqlext.h>

namespace odbc {

namespace {

/** An environment of its own for the driver list, so that no connection is needed to ask. */
class ListingEnvironment {
public:
    ListingEnvironment()
    {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_handle))) {
            m_handle = SQL_NULL_HENV;
            return;
        }
        if (!SQL_SUCCEEDED(
                SQLSetEnvAttr(m_handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
            SQLFreeHandle(SQL_HANDLE_ENV, m_handle);
            m_handle = SQL_NULL_HENV;
        }
    }
    ~ListingEnvironment()
    {
        if (m_handle != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, m_handle);
    }
    ListingEnvironment(const ListingEnvironment&) = delete;
    ListingEnvironment& operator=(const ListingEnvironment&) = delete;

    SQLHENV get() const { return m_handle; }

private:
    SQLHENV m_handle = SQL_NULL_HENV;
};

struct LibraryKey {
    QString path;
    qint64 size = 0;
    qint64 modified = 0;
    bool operator==(const LibraryKey&) const = default;
};

size_t qHash(const LibraryKey& key, size_t seed = 0)
{
    return qHashMulti(seed, key.path, key.size, key.modified);
}

} // namespace

QString DriverLibrary(const QString& name)
{
    ListingEnvironment env;
    if (env.get() == SQL_NULL_HENV)
        return {};
    // No copy of the registration is kept here: it is small to ask for, and it
    // may change while the program runs.
    std::vector<SQLCHAR> description(256);
    std::vector<SQLCHAR> attributes(16384); // "Key=value\0" … "\0"
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        SQLSMALLINT descriptionLength = 0, attributesLength = 0;
        const SQLRETURN rc
            = SQLDrivers(env.get(), direction, description.data(), static_cast<SQLSMALLINT>(description.size()),
                &descriptionLength, attributes.data(), static_cast<SQLSMALLINT>(attributes.size()), &attributesLength);
        if (!SQL_SUCCEEDED(rc))
            return {};
        // Section names are matched without regard to case, as the driver manager does.
        if (QString::fromLocal8Bit(reinterpret_cast<const char*>(description.data())).compare(name, Qt::CaseInsensitive)
            != 0)
            continue;
        QByteArray driver, driver64;
        const auto* const end = reinterpret_cast<const char*>(attributes.data() + attributes.size());
        for (auto* p = reinterpret_cast<const char*>(attributes.data()); p < end && *p;) {
            const QByteArray pair(p, qstrnlen(p, size_t(end - p)));
            p += pair.size() + 1;
            const qsizetype equals = pair.indexOf('=');
            if (equals < 0)
                continue;
            const QByteArray key = pair.left(equals).trimmed().toLower();
            if (key == "driver")
                driver = pair.mid(equals + 1).trimmed();
            else if (key == "driver64")
                driver64 = pair.mid(equals + 1).trimmed();
        }
        // A 64-bit driver manager prefers "Driver64" when the section has one.
        return QFile::decodeName(!driver64.isEmpty() && sizeof(void*) == 8 ? driver64 : driver);
    }
}

QVersionNumber FreeTdsVersionIn(QByteArrayView libraryText)
{
    static constexpr QByteArrayView marker = "freetds v";
    for (qsizetype at = libraryText.indexOf(marker); at >= 0; at = libraryText.indexOf(marker, at + 1)) {
        const qsizetype start = at + marker.size();
        qsizetype end = start;
        while (end < libraryText.size()
            && ((libraryText[end] >= '0' && libraryText[end] <= '9') || libraryText[end] == '.'))
            ++end;
        if (end > start && libraryText[start] != '.')
            return QVersionNumber::fromString(QLatin1StringView(libraryText.sliced(start, end - start)));
    }
    return {};
}

QVersionNumber FreeTdsVersionOf(const QString& path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    const LibraryKey key{info.canonicalFilePath(), info.size(), info.lastModified().toMSecsSinceEpoch()};
    if (key.path.isEmpty())
        return {};
    // Connections are opened off the window's thread, so the memory is shared under a lock.
    static std::mutex lock;
    static QHash<LibraryKey, QVersionNumber> known;
    {
        const std::lock_guard<std::mutex> hold(lock);
        const auto found = known.constFind(key);
        if (found != known.cend())
            return *found;
    }
    QVersionNumber version;
    QFile file(key.path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (const uchar* mapped = file.map(0, file.size())) {
        version = FreeTdsVersionIn(QByteArrayView(mapped, file.size()));
    } else {
        version = FreeTdsVersionIn(file.readAll());
    }
    const std::lock_guard<std::mutex> hold(lock);
    known.insert(key, version);
    return version;
}

} // namespace odbc
