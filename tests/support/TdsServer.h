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
     * Certificates the server can present. Loopback and OtherName come from a
     * test authority that this process's trust store ($SSL_CERT_FILE) holds:
     * Loopback names 127.0.0.1 and localhost, OtherName only elsewhere.example.
     * SelfSignedA and SelfSignedB are two different self-signed certificates
     * (CN=SSL_Self_Signed_Fallback) as SQL Server makes for itself.
     */
    enum class Certificate { Loopback, OtherName, SelfSignedA, SelfSignedB };

    /**
     * Starts the server with `arguments` added to its command line (such as
     * {"--encryption", "none"} or {"--relay", "strip"}; tds_server.py lists
     * them), keeping every byte its sessions send and receive for wire() when
     * `captureWire` is set. It presents the Loopback certificate unless the
     * arguments hold presenting(...) another. Throws std::runtime_error when
     * it does not come up.
     */
    explicit TdsServer(const QStringList& arguments = {}, bool captureWire = false);
    ~TdsServer();
    TdsServer(const TdsServer&) = delete;
    TdsServer& operator=(const TdsServer&) = delete;

    int port() const { return m_port; }
    /** A port on which a server accepts connections and never says a word. */
    int silentPort() const { return m_silentPort; }
    /** The port of the machine in the middle that "--relay" asks for; 0 without one. */
    int relayPort() const { return m_relayPort; }

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

    /**
     * Makes the test certificates, once for the whole test process, and the
     * first time points SSL_CERT_FILE at their authority so that everything
     * this process and its children check trusts it. The constructor calls it
     * first; a test that checks certificates before it starts any server calls
     * it itself. Throws std::runtime_error when they cannot be made.
     */
    static void makeCertificates();
    /** The PEM file of `certificate` (its key beside it, ending in .key). */
    static QString certificateFile(Certificate certificate);
    /** The PEM file of the test authority that issued Loopback and OtherName. */
    static QString authorityFile();
    /** The server's arguments that present `certificate`: {"--certificate", pem, "--key", key}. */
    static QStringList presenting(Certificate certificate);
    /** The SHA-256 fingerprint of `certificate`, as the program shows it. */
    static QString fingerprint(Certificate certificate);

    /**
     * Records what an earlier run decided about `server` ("host,port"), as the
     * program keeps it in the current settings folder: `trust` is
     * "unencrypted", "authority" or "certificate" (pinned by `fingerprint`).
     */
    static void remember(const QString& server, const QString& trust, const QString& fingerprint = QString());

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    int m_silentPort = 0;
    int m_relayPort = 0;
};

/**
 * The cells of `sheet` that differ from `expected` (as expectedCells gives
 * it), one line each ("B3: expected number 0.07, got text 0.07"), and any
 * cell beyond the expected rows and columns. Empty when the sheet is exact.
 */
QStringList SheetDifferences(const XlsxSheet& sheet, const QJsonArray& expected);
