#pragma once

// What can be learnt of a registered driver before a connection is made: its
// library, as the driver manager's registration names it, and which FreeTDS
// release that library is, when it is one. Drivers differ in how they read a
// connection string, so the string may have to be written for the driver.

#include <QByteArrayView>
#include <QString>
#include <QVersionNumber>

namespace odbc {

/**
 * The library registered for the driver `name` (its "Driver64" or "Driver"
 * entry, as the driver manager reads it to load the driver); empty when the
 * driver is not registered or the driver manager cannot be asked.
 */
QString DriverLibrary(const QString& name);

/**
 * The release a FreeTDS library announces in its text ("freetds v1.3.17");
 * a null version when the text has no such announcement.
 */
QVersionNumber FreeTdsVersionIn(QByteArrayView libraryText);

/**
 * FreeTdsVersionIn for the library file at `path`; null when the file cannot
 * be read. The file is read once for each path, size and modification time.
 */
QVersionNumber FreeTdsVersionOf(const QString& path);

} // namespace odbc
