#pragma once

#include "sqlaccess/ConnectionSettings.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

/**
 * A private ODBC registration for one test process: a temporary folder with
 * an odbcinst file that names "SQL Server" and an empty odbc.ini, pointed at
 * by ODBCSYSINI / ODBCINSTINI / ODBCINI. Create it before any ODBC call.
 */
class TestOdbc {
public:
    static constexpr const char* SqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
    static constexpr const char* FreeTdsDriver = "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so";
    static constexpr const char* PostgresDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

    /** Registers "SQL Server" as the SQLite driver. */
    TestOdbc();
    ~TestOdbc();
    TestOdbc(const TestOdbc&) = delete;
    TestOdbc& operator=(const TestOdbc&) = delete;

    /**
     * Points "SQL Server" at another driver library; `extraLines` go into its
     * section as they are ("Key = value").
     */
    void registerSqlServer(const QString& driverLibrary, const QStringList& extraLines = {});

    /** Replaces the whole registration (odbcinst.ini text). */
    void writeRegistration(const QString& odbcinstIni);
    /** The registration file in force. */
    QString registrationFile() const;

    /** The private folder of the fixtures. */
    QString folder() const;

    /**
     * Creates a SQLite database file named `name` in the private folder, runs
     * each statement through the ODBC layer and answers the file's path.
     * Needs the SQLite registration.
     */
    QString createDatabase(const QString& name, const QStringList& statements);

    /** Settings that reach a fixture file through "SQL Server" (SQLite ignores server, port and login). */
    static ConnectionSettings settingsFor(const QString& databasePath, bool local = false);

    /** The connection string that opens a SQLite fixture directly. */
    static QString sqliteConnectionString(const QString& databasePath);

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    int m_refreshes = 0;
};
