#include "sqlaccess/ServerTrust.h"

#include "platform/Error.h"
#include "shell/Settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QSettings>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ServerTrust {

namespace {

const QString NothingSent = QStringLiteral(" The connection may be intercepted, so nothing was sent to it.");

[[noreturn]] void refuse(const QString& words)
{
    throw quorvane::Error(quorvane::UnspecifiedFailure, words);
}

constexpr const char* FolderPrefix = "quorvane-freetds-";

/**
 * Removes the folders of runs that have ended: the program ends at once when
 * its window closes, with no clean-up of its own. Only a real folder of this
 * user's, named after a process that is gone, and only the files in it.
 */
void removeFoldersOfEndedRuns(const std::string& base)
{
    DIR* listing = ::opendir(base.c_str());
    if (!listing)
        return;
    const std::string prefix = FolderPrefix;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        struct stat st;
        if (pid <= 0 || *end != '-' || pid == ::getpid() || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH
            || ::fstatat(::dirfd(listing), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)
            || st.st_uid != ::geteuid())
            continue;
        const int folder = ::openat(::dirfd(listing), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (DIR* files = folder >= 0 ? ::fdopendir(folder) : nullptr) {
            while (const dirent* file = ::readdir(files))
                if (file->d_type == DT_REG)
                    ::unlinkat(folder, file->d_name, 0);
            ::closedir(files);
        }
        ::unlinkat(::dirfd(listing), name.c_str(), AT_REMOVEDIR);
    }
    ::closedir(listing);
}

/**
 * The folder of the program's own freetds.conf. FreeTDS finds the file
 * through FREETDSCONF, which it reads with getenv at every connection; the
 * environment may only be changed while no other thread can read it, so it is
 * set here, before main() runs. The folder is private to this process and
 * holds nothing secret: host names, ports and the certificates to accept.
 */
class FreeTdsFolder {
public:
    FreeTdsFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = tmp && *tmp ? tmp : "/tmp";
        removeFoldersOfEndedRuns(base);
        std::string pattern = base + "/" + FolderPrefix + std::to_string(::getpid()) + "-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return;
        m_path = pattern;
        ::setenv("FREETDSCONF", (m_path + "/freetds.conf").c_str(), 1);
    }
    ~FreeTdsFolder()
    {
        if (!m_path.empty())
            QDir(QFile::decodeName(m_path.c_str())).removeRecursively();
    }
    FreeTdsFolder(const FreeTdsFolder&) = delete;
    FreeTdsFolder& operator=(const FreeTdsFolder&) = delete;

    QString path() const { return QFile::decodeName(m_path.c_str()); }

private:
    std::string m_path;
};

const FreeTdsFolder g_freeTdsFolder;

/** Every section written in this run; the file always holds them all, for connections made side by side. */
std::mutex g_sectionsLock;
QMap<QString, QString> g_sections;

/** Writes a section for this route (if it is new) and answers its name. */
QString writeSection(const QString& body)
{
    if (g_freeTdsFolder.path().isEmpty())
        refuse(QStringLiteral("No private folder for the driver's settings could be made in the temporary folder."));
    const QString name = QStringLiteral("quorvane-")
        + QString::fromLatin1(QCryptographicHash::hash(body.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
    const std::lock_guard<std::mutex> hold(g_sectionsLock);
    if (g_sections.contains(name))
        return name;
    g_sections.insert(name, body);
    QString text;
    for (auto it = g_sections.cbegin(); it != g_sections.cend(); ++it)
        text += QLatin1Char('[') + it.key() + QStringLiteral("]\n") + it.value() + QLatin1Char('\n');
    // A connection reading the file meanwhile sees the old one or the new one whole.
    QSaveFile file(FreeTdsConfigFile());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        refuse(QStringLiteral("The driver's settings could not be written to %1: %2.")
                   .arg(FreeTdsConfigFile(), file.errorString()));
    return name;
}

/** A file holding the one certificate FreeTDS may accept from a pinned server. */
QString certificateFile(const tds::Probe& probe)
{
    const QString path = g_freeTdsFolder.path() + QLatin1Char('/')
        + QString(probe.fingerprint).remove(QLatin1Char(':')).toLower() + QStringLiteral(".pem");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(probe.certificatePem) < 0 || !file.commit())
        refuse(
            QStringLiteral("The server's certificate could not be written to %1: %2.").arg(path, file.errorString()));
    return path;
}

/** A section for the server as the probe reached it, with its encryption lines. */
Route route(const tds::Address& address, const tds::Probe& probe, const QString& encryption, bool encrypted)
{
    const QString reached
        = QStringLiteral("\thost = %1\n\tport = %2\n\ttds version = 7.4\n").arg(address.host).arg(probe.port);
    return Route{writeSection(reached + encryption), encrypted};
}

Route encryptedRoute(const tds::Address& address, const tds::Probe& probe, const QString& caFile, bool checkName)
{
    return route(address, probe,
        QStringLiteral("\tencryption = require\n\tca file = %1\n\tcheck certificate hostname = %2\n")
            .arg(caFile, checkName ? QStringLiteral("yes") : QStringLiteral("no")),
        true);
}

Route clearRoute(const tds::Address& address, const tds::Probe& probe)
{
    return route(address, probe, QStringLiteral("\tencryption = off\n"), false);
}

/** What the user decided about one server, kept between runs. */
struct Known {
    enum class Kind { Unknown, Unencrypted, Authority, Pinned };
    Kind kind = Kind::Unknown;
    QString fingerprint;

    bool encryptedBefore() const { return kind == Kind::Authority || kind == Kind::Pinned; }
};

/** The server as the user named it: host and port, or host and instance. */
QString serverKey(const tds::Address& address)
{
    return address.shown().toLower();
}

const char* kindName(Known::Kind kind)
{
    switch (kind) {
    case Known::Kind::Unencrypted:
        return "unencrypted";
    case Known::Kind::Authority:
        return "authority";
    case Known::Kind::Pinned:
        return "certificate";
    case Known::Kind::Unknown:
        break;
    }
    return "";
}

Known load(const QString& key)
{
    QSettings store(KnownServersFile(), QSettings::IniFormat);
    store.beginGroup(key);
    Known known;
    const QString kind = store.value(QStringLiteral("trust")).toString();
    for (Known::Kind k : {Known::Kind::Unencrypted, Known::Kind::Authority, Known::Kind::Pinned})
        if (kind == QLatin1String(kindName(k)))
            known.kind = k;
    known.fingerprint = store.value(QStringLiteral("fingerprint")).toString();
    return known;
}

void remember(const QString& key, Known::Kind kind, const QString& fingerprint = QString())
{
    QDir().mkpath(QFileInfo(KnownServersFile()).absolutePath());
    const mode_t previous = ::umask(077);
    {
        QSettings store(KnownServersFile(), QSettings::IniFormat);
        store.beginGroup(key);
        store.setValue(QStringLiteral("trust"), QLatin1String(kindName(kind)));
        if (fingerprint.isEmpty())
            store.remove(QStringLiteral("fingerprint"));
        else
            store.setValue(QStringLiteral("fingerprint"), fingerprint);
        store.sync();
    }
    ::umask(previous);
}

Route cannotEncrypt(const tds::Address& address, const tds::Probe& probe, const Known& known, const Question& ask)
{
    const QString server = address.shown();
    if (known.encryptedBefore())
        refuse(QStringLiteral("The server %1 was reached encrypted before, but now answers that it cannot encrypt.")
                   .arg(server)
            + NothingSent);
    if (known.kind == Known::Kind::Unencrypted)
        return clearRoute(address, probe);
    if (!ask)
        refuse(QStringLiteral("The server %1 cannot encrypt the connection, and reaching it without encryption has "
                              "not been agreed to.")
                   .arg(server));
    if (!ask(QStringLiteral("The server %1 cannot encrypt the connection.\n\nIf you connect anyway, your password and "
                            "every row you copy travel readable by anyone on the network between you and the "
                            "server.\n\nConnect without encryption?")
                 .arg(server)))
        refuse(QStringLiteral("Not connected: the server %1 cannot encrypt the connection, and connecting without "
                              "encryption was declined.")
                   .arg(server));
    remember(serverKey(address), Known::Kind::Unencrypted);
    return clearRoute(address, probe);
}

/** A certificate the server signed itself that is not the one pinned: asked about, or refused. */
Route selfSigned(const tds::Address& address, const tds::Probe& probe, const Known& known, const Question& ask)
{
    const QString server = address.shown();
    if (known.encryptedBefore()) {
        const QString refusal
            = QStringLiteral("The certificate of %1 has changed (trusted until now: %2; shown now: %3).")
                  .arg(server, known.fingerprint, probe.fingerprint)
            + NothingSent;
        if (!ask
            || !ask(QStringLiteral("The certificate of %1 has changed, so the connection was stopped before anything "
                                   "was sent.\n\nTrusted until now (SHA-256):\n%2\n\nShown now (SHA-256):\n%3\n\nThe "
                                   "common harmless cause: a SQL Server without a certificate of its own makes a new "
                                   "one whenever its service restarts. It may also mean that someone is intercepting "
                                   "the connection, so confirm the new fingerprint with the server's administrator "
                                   "first.\n\nTrust the new certificate?")
                        .arg(server, known.fingerprint, probe.fingerprint)))
            refuse(refusal);
    } else {
        if (!ask)
            refuse(QStringLiteral("The certificate of %1 has not been trusted yet.").arg(server));
        if (!ask(QStringLiteral("The server %1 identifies itself with a certificate it signed itself, which no "
                                "authority vouches for. Its SHA-256 fingerprint is:\n\n%2\n\nCompare it with the "
                                "fingerprint the server's administrator gives you. Trust this certificate for %1 from "
                                "now on?")
                     .arg(server, probe.fingerprint)))
            refuse(QStringLiteral("Not connected: the certificate of %1 was not trusted.").arg(server));
    }
    remember(serverKey(address), Known::Kind::Pinned, probe.fingerprint);
    return encryptedRoute(address, probe, certificateFile(probe), false);
}

} // namespace

QString KnownServersFile()
{
    return QFileInfo(Settings::filePath()).absolutePath() + QStringLiteral("/Quorvane-servers.ini");
}

QString FreeTdsConfigFile()
{
    return g_freeTdsFolder.path() + QStringLiteral("/freetds.conf");
}

Route Decide(const tds::Address& address, const tds::Probe& probe, const Question& ask)
{
    const QString key = serverKey(address);
    const Known known = load(key);
    const QString server = address.shown();
    switch (probe.encryption) {
    case tds::Probe::Encryption::NotSupported:
        return cannotEncrypt(address, probe, known, ask);
    case tds::Probe::Encryption::HandshakeFailed: {
        QString words = probe.handshakeFailure;
        if (words.endsWith(QLatin1Char('.')))
            words.chop(1);
        refuse(QStringLiteral("The encryption handshake with %1 failed: %2.").arg(server, words) + NothingSent);
    }
    case tds::Probe::Encryption::Offered:
        break;
    }
    if (probe.issuedByTrustedAuthority && probe.namesHost) {
        if (known.kind != Known::Kind::Authority || known.fingerprint != probe.fingerprint)
            remember(key, Known::Kind::Authority, probe.fingerprint);
        return encryptedRoute(address, probe, tds::TrustStoreFile(), true);
    }
    if (known.kind == Known::Kind::Pinned && known.fingerprint == probe.fingerprint)
        return encryptedRoute(address, probe, certificateFile(probe), false);
    if (probe.issuedByTrustedAuthority)
        refuse(QStringLiteral("The certificate of %1 was issued for %2, not for %3.")
                   .arg(server, probe.names.join(QStringLiteral(", ")), address.host)
            + NothingSent);
    if (!probe.selfSigned)
        refuse(QStringLiteral("The certificate of %1, issued by %2, is not accepted by this system: %3")
                   .arg(server, probe.issuer, probe.verdict.trimmed())
            + NothingSent);
    return selfSigned(address, probe, known, ask);
}

} // namespace ServerTrust
