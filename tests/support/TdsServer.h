#pragma once

#include "sqlaccess/ConnectionSettings.h"

#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct XlsxSheet;

/**
 * The project's SQL Server stand-in (tds_server.py) on a free loopback port,
 * for one test process: FreeTDS logs into it, lists its tables and reads them
 * exactly as it would from SQL Server. Its fixture databases are defined in
 * that script, together with the cells each fixture table must give.
 */
class TdsServer {
public:
    /**
     * Starts the server with `arguments` added to its command line (such as
     * {"--encryption", "none"}; tds_server.py lists them), keeping every byte
     * its sessions send and receive for wire() when `captureWire` is set.
     * Throws std::runtime_error when it does not come up.
     */
    explicit TdsServer(const QStringList& arguments = {}, bool captureWire = false);
    ~TdsServer();
    TdsServer(const TdsServer&) = delete;
    TdsServer& operator=(const TdsServer&) = delete;

    int port() const { return m_port; }
    /** A port on which a server accepts connections and never says a word. */
    int silentPort() const { return m_silentPort; }

    /** Settings that reach `database` on this server (port field, not local). */
    ConnectionSettings settings(const QString& database, const QString& user = QStringLiteral("tester"),
        const QString& password = QStringLiteral("secret")) const;

    /** What the server logged: every login, batch and call. */
    QString log() const;
    /** Log lines about traffic the server did not understand; empty when all went as planned. */
    QStringList unexpected() const;
    /** The raw bytes that crossed the loopback in its sessions so far, both ways; empty unless captured. */
    QByteArray wire() const;

    /** The cells a fixture table's worksheet must hold, row by row: [kind, value] or null (empty). */
    static QJsonArray expectedCells(const QString& database, const QString& table);

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    int m_silentPort = 0;
};

/**
 * The cells of `sheet` that differ from `expected` (as expectedCells gives
 * it), one line each ("B3: expected number 0.07, got text 0.07"), and any
 * cell beyond the expected rows and columns. Empty when the sheet is exact.
 */
QStringList SheetDifferences(const XlsxSheet& sheet, const QJsonArray& expected);
