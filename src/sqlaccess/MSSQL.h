#pragma once

#include "sqlaccess/ConnectionSettings.h"

#include <QString>

class QListWidget;

/** The SQL Server side of the program: the one connection string, the connection test and the table listing. */
namespace MSSQL {

/**
 * The connection string for these settings: with "Server=server,port" unless
 * the connection is local, then "Server=server" alone. Values go in as typed;
 * only a value that would otherwise end the attribute early (one holding ";"
 * or beginning with "{") is put in braces, with each "}" in it doubled, as
 * ODBC reads attribute values.
 */
QString ConnectionString(const ConnectionSettings& settings);

/** True when a connection with the current settings opens; never says anything, never throws. */
bool TestMSSQLConnection();

/**
 * Replaces the list's entries with the database's user tables: type exactly
 * "TABLE", no "SYS" anywhere in the upper-cased name. Each entry is unticked,
 * its text the table name and its Qt::UserRole data the table's schema (a null
 * QVariant when the database has none), so the table can be named exactly
 * when it is exported.
 */
void AddTablesToMSSQLListbox(QListWidget* list);

} // namespace MSSQL
