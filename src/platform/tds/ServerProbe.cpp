#include "platform/tds/ServerProbe.h"

#include "platform/Error.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tds {

namespace {

using Clock = std::chrono::steady_clock;

using quorvane::systemWords;
using quorvane::TimedOut;

constexpr unsigned char PreloginPacket = 0x12;
constexpr unsigned char EncryptOn = 0x01;
constexpr unsigned char EncryptNotSupported = 0x02;
constexpr int PacketHeader = 8;
constexpr int PacketSize = 4096;

[[noreturn]] void fail(const QString& words, long number = quorvane::UnspecifiedFailure)
{
    throw quorvane::Error(number, words);
}

/** A descriptor closed when it goes. */
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) { }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

/** A socket whose every wait ends at one deadline. */
class Link {
public:
    Link(const Address& address, Clock::time_point deadline) : m_deadline(deadline), m_shown(address.shown())
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const QByteArray host = address.host.toUtf8();
        const QByteArray port = QByteArray::number(address.port);
        if (const int rc = ::getaddrinfo(host.constData(), port.constData(), &hints, &found); rc != 0)
            fail(QStringLiteral("The server %1 could not be found: %2.")
                     .arg(m_shown, QString::fromLocal8Bit(gai_strerror(rc))));
        const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> hold(found, &::freeaddrinfo);
        int error = 0;
        for (const addrinfo* a = found; a && m_fd.get() < 0; a = a->ai_next)
            error = connectTo(*a);
        if (m_fd.get() < 0)
            fail(QStringLiteral("The server %1 could not be reached: %2.").arg(m_shown, systemWords(error)),
                error == ETIMEDOUT ? TimedOut : quorvane::UnspecifiedFailure);
    }

    void sendAll(const char* data, size_t size)
    {
        while (size > 0) {
            waitFor(POLLOUT);
            const ssize_t n = ::send(m_fd.get(), data, size, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                fail(QStringLiteral("The connection to %1 failed: %2.").arg(m_shown, systemWords(errno)));
            if (n > 0) {
                data += n;
                size -= size_t(n);
            }
        }
    }

    /** Exactly `size` bytes; a server that closes the connection first is a failure. */
    QByteArray receive(int size)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (int done = 0; done < size;) {
            waitFor(POLLIN);
            const ssize_t n = ::recv(m_fd.get(), data.data() + done, size_t(size - done), 0);
            if (n == 0)
                fail(QStringLiteral("The server %1 closed the connection.").arg(m_shown));
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                fail(QStringLiteral("The connection to %1 failed: %2.").arg(m_shown, systemWords(errno)));
            if (n > 0)
                done += int(n);
        }
        return data;
    }

private:
    int connectTo(const addrinfo& a)
    {
        m_fd.reset(::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol));
        if (m_fd.get() < 0)
            return errno;
        int error = 0;
        if (::connect(m_fd.get(), a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS)
            error = errno;
        else if (!ready(POLLOUT))
            error = ETIMEDOUT;
        socklen_t length = sizeof(error);
        if (error == 0)
            ::getsockopt(m_fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        // A TLS flight is several small records, each sent as it is made: held
        // back for the acknowledgement of the one before, each would wait for
        // the server's delayed acknowledgement (40 ms on Linux).
        const int on = 1;
        if (error == 0)
            ::setsockopt(m_fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        if (error != 0)
            m_fd.reset(-1);
        return error;
    }

    /** False once the deadline has passed. */
    bool ready(short events)
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_fd.get(), events, 0};
            const int rc = ::poll(&p, 1, int(left.count()));
            if (rc > 0)
                return true;
            if (rc < 0 && errno != EINTR)
                fail(QStringLiteral("The connection to %1 failed: %2.").arg(m_shown, systemWords(errno)));
        }
    }

    void waitFor(short events)
    {
        if (!ready(events))
            fail(QStringLiteral("The server %1 did not answer in time.").arg(m_shown), TimedOut);
    }

    Descriptor m_fd;
    Clock::time_point m_deadline;
    QString m_shown;
};

void sendPackets(Link& link, unsigned char type, const QByteArray& payload)
{
    const int room = PacketSize - PacketHeader;
    unsigned char id = 1;
    for (int at = 0; at == 0 || at < payload.size(); at += room) {
        const QByteArray chunk = payload.mid(at, room);
        const bool last = at + room >= payload.size();
        const int length = PacketHeader + int(chunk.size());
        const char header[PacketHeader]
            = {char(type), char(last ? 1 : 0), char(length >> 8), char(length & 0xFF), 0, 0, char(id++), 0};
        link.sendAll(QByteArray(header, PacketHeader).append(chunk).constData(), size_t(length));
    }
}

/** One packet's payload; `last` tells whether it ends its message. */
QByteArray receivePacket(Link& link, bool* last = nullptr)
{
    const QByteArray header = link.receive(PacketHeader);
    const int length = (uchar(header[2]) << 8) | uchar(header[3]);
    if (length < PacketHeader)
        fail(QStringLiteral("The server answered with a damaged packet."));
    if (last)
        *last = (header[1] & 0x01) != 0;
    return link.receive(length - PacketHeader);
}

QByteArray receiveMessage(Link& link)
{
    QByteArray message;
    for (bool last = false; !last;)
        message += receivePacket(link, &last);
    return message;
}

/** PRELOGIN asking for encryption: version, encryption, instance, thread id, MARS. */
QByteArray preloginRequest()
{
    const QByteArray options[] = {QByteArray("\x0b\x00\x00\x00\x00\x00", 6), QByteArray(1, char(EncryptOn)),
        QByteArray(1, '\0'), QByteArray(4, '\0'), QByteArray(1, '\0')};
    QByteArray header, data;
    const int start = 5 * 5 + 1;
    for (int token = 0; token < 5; ++token) {
        const int offset = start + int(data.size());
        const int length = int(options[token].size());
        header += char(token);
        header += char(offset >> 8);
        header += char(offset & 0xFF);
        header += char(length >> 8);
        header += char(length & 0xFF);
        data += options[token];
    }
    return header + char(0xFF) + data;
}

/** The ENCRYPTION option of a PRELOGIN answer; NOT_SUP when it has none. */
unsigned char encryptionOption(const QByteArray& answer)
{
    for (int at = 0; at + 5 <= answer.size() && uchar(answer[at]) != 0xFF; at += 5) {
        const int offset = (uchar(answer[at + 1]) << 8) | uchar(answer[at + 2]);
        const int length = (uchar(answer[at + 3]) << 8) | uchar(answer[at + 4]);
        if (answer[at] == 1 && length >= 1 && offset < answer.size())
            return uchar(answer[offset]);
    }
    return EncryptNotSupported;
}

/** The TLS records of the handshake, carried in PRELOGIN packets both ways. */
struct Carrier {
    Link* link;
    QByteArray pending;
    QString failure;
};

ssize_t pushRecords(gnutls_transport_ptr_t context, const void* data, size_t size)
{
    auto* carrier = static_cast<Carrier*>(context);
    try {
        sendPackets(*carrier->link, PreloginPacket, QByteArray(static_cast<const char*>(data), qsizetype(size)));
        return ssize_t(size);
    } catch (const quorvane::Error& e) {
        carrier->failure = e.description();
        errno = EIO;
        return -1;
    }
}

ssize_t pullRecords(gnutls_transport_ptr_t context, void* data, size_t size)
{
    auto* carrier = static_cast<Carrier*>(context);
    try {
        while (carrier->pending.isEmpty())
            carrier->pending = receivePacket(*carrier->link);
    } catch (const quorvane::Error& e) {
        carrier->failure = e.description();
        errno = EIO;
        return -1;
    }
    const size_t n = std::min(size, size_t(carrier->pending.size()));
    std::memcpy(data, carrier->pending.constData(), n);
    carrier->pending.remove(0, qsizetype(n));
    return ssize_t(n);
}

QString datumText(const gnutls_datum_t& datum)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(datum.data), qsizetype(datum.size));
}

/** The names a certificate was issued for: its alternative DNS names and addresses, else its common name. */
QStringList namesOf(gnutls_x509_crt_t certificate)
{
    QStringList names;
    for (unsigned i = 0;; ++i) {
        char buffer[512];
        size_t size = sizeof(buffer);
        const int kind = gnutls_x509_crt_get_subject_alt_name(certificate, i, buffer, &size, nullptr);
        if (kind == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE)
            break;
        if (kind == GNUTLS_SAN_DNSNAME)
            names << QString::fromUtf8(buffer, qsizetype(size));
        else if (kind == GNUTLS_SAN_IPADDRESS && (size == 4 || size == 16)) {
            char text[INET6_ADDRSTRLEN];
            if (::inet_ntop(size == 4 ? AF_INET : AF_INET6, buffer, text, sizeof(text)))
                names << QString::fromLatin1(text);
        }
    }
    if (names.isEmpty()) {
        char buffer[512];
        size_t size = sizeof(buffer);
        if (gnutls_x509_crt_get_dn_by_oid(certificate, GNUTLS_OID_X520_COMMON_NAME, 0, 0, buffer, &size) == 0)
            names << QString::fromUtf8(buffer, qsizetype(size));
    }
    return names;
}

/** What the server's certificate says, checked against the trust store and the host. */
void readCertificate(gnutls_session_t session, const QString& host, Probe& probe)
{
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    if (!chain || count == 0) {
        probe.encryption = Probe::Encryption::HandshakeFailed;
        probe.handshakeFailure = QStringLiteral("the server showed no certificate");
        return;
    }
    gnutls_x509_crt_t certificate;
    gnutls_x509_crt_init(&certificate);
    const std::unique_ptr<gnutls_x509_crt_int, decltype(&gnutls_x509_crt_deinit)> hold(
        certificate, &gnutls_x509_crt_deinit);
    if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) < 0) {
        probe.encryption = Probe::Encryption::HandshakeFailed;
        probe.handshakeFailure = QStringLiteral("the server's certificate cannot be read");
        return;
    }
    unsigned char digest[32];
    size_t size = sizeof(digest);
    gnutls_x509_crt_get_fingerprint(certificate, GNUTLS_DIG_SHA256, digest, &size);
    probe.fingerprint
        = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), qsizetype(size)).toHex(':').toUpper());
    gnutls_datum_t pem{};
    if (gnutls_x509_crt_export2(certificate, GNUTLS_X509_FMT_PEM, &pem) == 0) {
        probe.certificatePem = QByteArray(reinterpret_cast<const char*>(pem.data), qsizetype(pem.size));
        gnutls_free(pem.data);
    }
    gnutls_datum_t issuer{};
    if (gnutls_x509_crt_get_issuer_dn3(certificate, &issuer, 0) == 0) {
        probe.issuer = datumText(issuer);
        gnutls_free(issuer.data);
    }
    probe.names = namesOf(certificate);
    // Issued by itself, as SQL Server's own certificates are. Its signature is
    // not judged: a pin trusts the certificate itself, by its fingerprint, and
    // the ones older servers made are signed with SHA-1.
    probe.selfSigned = gnutls_x509_crt_check_issuer(certificate, certificate) != 0;
    unsigned status = GNUTLS_CERT_INVALID;
    probe.issuedByTrustedAuthority = gnutls_certificate_verify_peers2(session, &status) == 0 && status == 0;
    gnutls_datum_t verdict{};
    if (!probe.issuedByTrustedAuthority
        && gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &verdict, 0) == 0) {
        probe.verdict = datumText(verdict);
        gnutls_free(verdict.data);
    }
    probe.namesHost = gnutls_x509_crt_check_hostname2(certificate, host.toUtf8().constData(), 0) != 0;
}

/** The TLS handshake inside PRELOGIN packets; the connection is left as soon as it is done. */
void handshake(Link& link, const Address& address, const QString& trustFile, Probe& probe)
{
    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    const std::unique_ptr<gnutls_certificate_credentials_st, decltype(&gnutls_certificate_free_credentials)>
        holdCredentials(credentials, &gnutls_certificate_free_credentials);
    // A missing or unreadable store trusts nobody: every certificate is then asked about.
    gnutls_certificate_set_x509_trust_file(credentials, QFile::encodeName(trustFile).constData(), GNUTLS_X509_FMT_PEM);

    gnutls_session_t session;
    gnutls_init(&session, GNUTLS_CLIENT);
    const std::unique_ptr<gnutls_session_int, decltype(&gnutls_deinit)> holdSession(session, &gnutls_deinit);
    gnutls_set_default_priority(session);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    const QByteArray host = address.host.toUtf8();
    // A name, not an address, goes in the handshake for servers that show one certificate per name.
    unsigned char numeric[16];
    if (::inet_pton(AF_INET, host.constData(), numeric) != 1 && ::inet_pton(AF_INET6, host.constData(), numeric) != 1)
        gnutls_server_name_set(session, GNUTLS_NAME_DNS, host.constData(), size_t(host.size()));
    Carrier carrier{&link, {}, {}};
    gnutls_transport_set_ptr(session, &carrier);
    gnutls_transport_set_push_function(session, pushRecords);
    gnutls_transport_set_pull_function(session, pullRecords);

    int rc;
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc));
    if (rc < 0) {
        probe.encryption = Probe::Encryption::HandshakeFailed;
        probe.handshakeFailure = carrier.failure.isEmpty() ? QString::fromUtf8(gnutls_strerror(rc)) : carrier.failure;
        return;
    }
    probe.encryption = Probe::Encryption::Offered;
    readCertificate(session, address.host, probe);
}

} // namespace

QString Address::shown() const
{
    if (!instance.isEmpty() && port == 0)
        return host + QLatin1Char('\\') + instance;
    return host + QLatin1Char(',') + QString::number(port);
}

Address ParseAddress(const QString& server, const QString& port, bool local)
{
    const QString text = local ? server : server + QLatin1Char(',') + port;
    const qsizetype comma = text.indexOf(QLatin1Char(','));
    const QString named = comma < 0 ? text : text.left(comma);
    const QString portText = comma < 0 ? QString() : text.mid(text.lastIndexOf(QLatin1Char(',')) + 1);
    Address address;
    const qsizetype slash = named.indexOf(QLatin1Char('\\'));
    address.host = slash < 0 ? named : named.left(slash);
    address.instance = slash < 0 ? QString() : named.mid(slash + 1);
    if (!portText.isEmpty()) {
        bool number = false;
        address.port = portText.toInt(&number);
        if (!number || address.port <= 0 || address.port > 65535)
            address.port = -1;
    } else {
        address.port = address.instance.isEmpty() ? 1433 : 0;
    }
    return address;
}

QString TrustStoreFile()
{
    const QString named = qEnvironmentVariable("SSL_CERT_FILE");
    return named.isEmpty() ? QStringLiteral("/etc/ssl/certs/ca-certificates.crt") : named;
}

int BrowserPort(const QString& host, const QString& instance, std::chrono::milliseconds limit)
{
    const QString shown = host + QLatin1Char('\\') + instance;
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.toUtf8().constData(), "1434", &hints, &found); rc != 0)
        fail(QStringLiteral("The server %1 could not be found: %2.")
                 .arg(shown, QString::fromLocal8Bit(gai_strerror(rc))));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> hold(found, &::freeaddrinfo);
    Descriptor fd(::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    // The Browser answers "ServerName;…;InstanceName;…;tcp;<port>;;" for the one instance asked for.
    const QByteArray request = '\x04' + instance.toLocal8Bit() + '\0';
    if (fd.get() < 0
        || ::sendto(fd.get(), request.constData(), size_t(request.size()), 0, found->ai_addr, found->ai_addrlen) < 0)
        fail(QStringLiteral("The SQL Server Browser on %1 could not be asked: %2.").arg(host, systemWords(errno)));
    pollfd p{fd.get(), POLLIN, 0};
    char answer[4096];
    const ssize_t n = ::poll(&p, 1, int(limit.count())) > 0 ? ::recv(fd.get(), answer, sizeof(answer), 0) : -1;
    const QStringList fields
        = n > 3 ? QString::fromLatin1(answer + 3, int(n - 3)).split(QLatin1Char(';')) : QStringList();
    const qsizetype tcp = fields.indexOf(QStringLiteral("tcp"));
    const int port = tcp >= 0 && tcp + 1 < fields.size() ? fields[tcp + 1].toInt() : 0;
    if (port <= 0)
        fail(QStringLiteral("The SQL Server Browser on %1 did not tell the port of the instance %2.")
                 .arg(host, instance),
            n < 0 ? TimedOut : quorvane::UnspecifiedFailure);
    return port;
}

Probe ProbeServer(const Address& given, const QString& trustFile, std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    Address address = given;
    if (address.host.isEmpty())
        fail(QStringLiteral("No server is named."));
    if (address.port < 0)
        fail(QStringLiteral("The port of %1 is not a number from 1 to 65535.").arg(address.host));
    if (address.port == 0)
        address.port = BrowserPort(address.host, address.instance, limit);
    Link link(address, deadline);
    sendPackets(link, PreloginPacket, preloginRequest());
    Probe probe;
    probe.port = address.port;
    if (encryptionOption(receiveMessage(link)) == EncryptNotSupported) {
        probe.encryption = Probe::Encryption::NotSupported;
        return probe;
    }
    handshake(link, address, trustFile, probe);
    return probe;
}

} // namespace tds
