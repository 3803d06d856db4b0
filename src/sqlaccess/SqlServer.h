#pragma once

#include "shell/Async.h"
#include "sqlaccess/ConnectionSettings.h"

#include <QString>
#include <QVariant>
#include <QVersionNumber>
#include <functional>
#include <memory>
#include <vector>

namespace odbc {
class Connection;
}

/** The SQL Server side of the program: the one connection string, the connection test and the table listing. */
namespace SqlServer {

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

/** What the connection string must allow for in the driver registered as "SQL Server". */
struct Driver {
    Driver(BraceRule rule = BraceRule::Odbc, bool isFreeTds = false) : braces(rule), freeTds(isFreeTds) { }
    BraceRule braces;
    /**
     * FreeTDS: it is asked to encrypt the whole session, and a named instance
     * with a port is given as host and port, since FreeTDS would otherwise
     * take the port for part of the instance name and ask the Browser for it.
     */
    bool freeTds;
};

/** The driver registered as "SQL Server" at this moment, asked of the driver manager; never throws. */
Driver RegisteredDriver();

/**
 * The connection string that names the server directly: with
 * "Server=server,port" unless the connection is local, then "Server=server"
 * alone. Values go in as typed; only a value that would otherwise end the
 * attribute early (one holding ";" or beginning with "{") is put in braces.
 * By ODBC's rule each "}" in it is doubled; by FreeTDS's older rule it is not
 * (UnsafeField tells which values cannot be carried that way).
 *
 * Keywords are spelt as the driver manager and FreeTDS compare them
 * ("DRIVER", "UID", "PWD"): both compare by the C library's case rules, which
 * follow the locale, and under Turkish ones "i" and "I" are no pair. The
 * driver manager's trace hides the value of "PWD=" in upper case only.
 *
 * For FreeTDS, a server "host\instance" that is not local and has a port
 * becomes "Server=host;Port=port" (the port wins, as with SQL Server's own
 * drivers); with no port it stays "Server=host\instance" for the Browser.
 * FreeTDS is also told the protocol version ("TDS_Version=7.4"), and
 * `encrypted` adds "Encryption=require" for it; other drivers get neither.
 */
QString ConnectionString(const ConnectionSettings& settings, const Driver& driver, bool encrypted = false);

/** The direct connection string for the driver registered as "SQL Server" at this moment, encrypted for FreeTDS. */
QString ConnectionString(const ConnectionSettings& settings);

/**
 * The connection string that reaches FreeTDS's server through a section of
 * the program's own freetds.conf ("SERVERNAME="), which names the host, the
 * port and the certificates FreeTDS may accept.
 */
QString ConnectionStringThrough(
    const QString& section, const ConnectionSettings& settings, const Driver& driver, bool encrypted);

/**
 * The label of the first field ("Server", "Port", "Username", "Password",
 * "Database") whose value the driver manager or the driver would not read as
 * typed in the string Connect sends; empty when every value arrives intact.
 */
QString UnsafeField(const ConnectionSettings& settings, const Driver& driver);

/** Throws quorvane::Error naming the field when UnsafeField names one. */
void RefuseUnsafeFields(const ConnectionSettings& settings, const Driver& driver);

/** The time a login may take, in seconds, counted over the whole of it: 15 unless changed. */
void SetLoginTimeout(int seconds);

/**
 * How the user is asked whether to trust a server (its certificate, or a
 * connection without encryption); true for Yes. The connection window sets
 * it; without one nothing is asked and such a server is not reached.
 */
void SetTrustQuestion(std::function<bool(const QString& text)> question);

/**
 * Opens a connection with these settings off the window's thread, which goes
 * on answering meanwhile (the task gives the event loop back while it waits). A value that cannot be sent intact is
 * refused first. With FreeTDS the server is first asked, before any login, whether it can encrypt and which certificate
 * it has (ServerTrust decides, asking the user when `mayAsk`); the whole session is then encrypted and the certificate
 * checked by FreeTDS itself, or, only where the user agreed, the server is
 * reached unencrypted. Throws the driver's words on failure, plain words
 * for a refused server or a login that outlasts its time, and ProgramEnded
 * when the program ends meanwhile.
 */
Async::Task<std::unique_ptr<odbc::Connection>> Connect(ConnectionSettings settings, bool mayAsk = true);

/**
 * True when a connection with the current settings opens; never says anything
 * but the trust questions (only when `mayAsk`), never throws but
 * ProgramEnded. On failure `reason` (when given) receives the driver's words.
 */
Async::Task<bool> TestConnection(QString* reason = nullptr, bool mayAsk = true);

/**
 * A failure message followed by the driver's own words, so that a refused
 * login, a missing database and an unreachable server can be told apart.
 */
QString WithDriverWords(const QString& message, const QString& driverWords);

/** A user table as listed: its name, and its schema (a null QVariant when the database has none). */
struct ListedTable {
    QString name;
    QVariant schema;
};

/**
 * The database's user tables, in the order the driver lists them: type exactly
 * "TABLE", no "SYS" anywhere in the upper-cased name. The schema's rows are
 * read off the window's thread; what fails is reported under the listing's
 * trap, and the tables read until then are given back.
 */
Async::Task<std::vector<ListedTable>> ListTables();

} // namespace SqlServer
