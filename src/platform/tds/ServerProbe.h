#pragma once

// What a SQL Server says about itself before anyone logs in: whether it can
// encrypt, and which certificate it shows. FreeTDS neither tells this nor
// shows the certificate it was handed, so the probe speaks the first steps of
// TDS itself: a PRELOGIN, then the TLS handshake carried inside PRELOGIN
// packets as TDS 7.x does it. It closes the connection as soon as the
// handshake is over; no login, no user name and no password are ever sent.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>

namespace tds {

/** Where a server listens, as the connection window's fields name it. */
struct Address {
    QString host;
    /** 0 when a named instance's port is still to be asked of the SQL Server Browser. */
    int port = 1433;
    QString instance;

    /** "host,port" or "host\instance": how the user names the server. */
    QString shown() const;
};

/**
 * The address in the server field and, unless the connection is local, the
 * port field: "host", "host,port" or "host\instance" (with a port, the port
 * wins, as with SQL Server's own drivers). An empty or unusable host gives an
 * empty host.
 */
Address ParseAddress(const QString& server, const QString& port, bool local);

/** The system's trust store: the file $SSL_CERT_FILE names, else Debian's bundle. */
QString TrustStoreFile();

/** What the server showed before any login. */
struct Probe {
    enum class Encryption { Offered, NotSupported, HandshakeFailed };
    Encryption encryption = Encryption::NotSupported;
    /** The TCP port reached (a named instance's as its Browser gave it). */
    int port = 0;
    /** The TLS library's words when the handshake failed. */
    QString handshakeFailure;

    /** The server's own certificate (the first of its chain), in PEM. */
    QByteArray certificatePem;
    /** SHA-256 of the certificate, as upper-case hex pairs joined by ":". */
    QString fingerprint;
    /** Issued by itself, as a server without an installed certificate makes one: no authority vouches for it. */
    bool selfSigned = false;
    /** Its chain leads to an authority of the trust store (whatever the name). */
    bool issuedByTrustedAuthority = false;
    /** The TLS library's words for why the chain does not (unknown issuer, expired, …). */
    QString verdict;
    /** It names the host that was asked for. */
    bool namesHost = false;
    /** The names it was issued for (DNS and IP alternative names, else its common name). */
    QStringList names;
    /** Who issued it, as a distinguished name. */
    QString issuer;
};

/**
 * Asks the SQL Server Browser on the host for a named instance's TCP port.
 * Throws quorvane::Error with plain words when it gives none in `limit`.
 */
int BrowserPort(const QString& host, const QString& instance, std::chrono::milliseconds limit);

/**
 * Connects to the address (its port resolved), sends PRELOGIN asking for
 * encryption and, when the server offers it, completes a TLS handshake,
 * checking the certificate against `trustFile` and the host name. Throws
 * quorvane::Error when the server cannot be reached or answers no PRELOGIN
 * within `limit`.
 */
Probe ProbeServer(const Address& address, const QString& trustFile, std::chrono::milliseconds limit);

} // namespace tds
