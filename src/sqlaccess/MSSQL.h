#pragma once

#include "sqlaccess/ConnectionSettings.h"

#include <QString>
#include <QVersionNumber>

class QListWidget;

/** The SQL Server side of the program: the one connection string, the connection test and the table listing. */
namespace MSSQL {

/** How the driver reads a value in braces. */
enum class BraceRule {
    /** ODBC's: the value ends at the "}" that closes it, and "}}" stands for "}". */
    Odbc,
    /**
     * FreeTDS before 1.3.21 (and 1.4.0): the value ends at the first "}" that
     * is followed by ";", and "}}" stays as it is.
     */
    FreeTdsLegacy,
};

/** The rule of a FreeTDS release; a null version (not FreeTDS) reads by ODBC's. */
BraceRule BraceRuleForFreeTds(const QVersionNumber& freeTds);

/** The rule of the driver registered as "SQL Server", asked of the driver manager; never throws. */
BraceRule RegisteredBraceRule();

/**
 * The connection string for these settings: with "Server=server,port" unless
 * the connection is local, then "Server=server" alone. Values go in as typed;
 * only a value that would otherwise end the attribute early (one holding ";"
 * or beginning with "{") is put in braces. By ODBC's rule each "}" in it is
 * doubled; by FreeTDS's older rule it is not. No form carries a value holding
 * "};" to such a driver: it is written by ODBC's rule all the same, and the
 * driver, reading it wrongly, refuses the connection in its own words.
 */
QString ConnectionString(const ConnectionSettings& settings, BraceRule rule);

/** ConnectionString by the rule of the driver registered as "SQL Server" at this moment. */
QString ConnectionString(const ConnectionSettings& settings);

/**
 * True when a connection with the current settings opens; never says anything,
 * never throws. On failure `reason` (when given) receives the driver's words.
 */
bool TestMSSQLConnection(QString* reason = nullptr);

/**
 * A failure message followed by the driver's own words, so that a refused
 * login, a missing database and an unreachable server can be told apart.
 */
QString WithDriverWords(const QString& message, const QString& driverWords);

/**
 * Replaces the list's entries with the database's user tables: type exactly
 * "TABLE", no "SYS" anywhere in the upper-cased name. Each entry is unticked,
 * its text the table name and its Qt::UserRole data the table's schema (a null
 * QVariant when the database has none), so the table can be named exactly
 * when it is exported.
 */
void AddTablesToMSSQLListbox(QListWidget* list);

} // namespace MSSQL
