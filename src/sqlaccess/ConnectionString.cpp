// The one connection string, and the proof that each value in it arrives as
// typed. Two readers take the string apart: the driver manager first (it
// looks for DRIVER, DSN, FILEDSN and SAVEFILE, and loads a DRIVER that is not
// a registered name as a library path), then the driver. A value that either
// of them would read differently is refused before anything is opened.

#include "sqlaccess/SqlServer.h"

#include "platform/Error.h"
#include "platform/odbc/DriverInfo.h"
#include "platform/tds/ServerProbe.h"

#include <QList>
#include <algorithm>

namespace SqlServer {

namespace {

/** The name the driver is registered under; the connection string asks for it. */
const QString DriverName = QStringLiteral("SQL Server");

struct Attribute {
    QString key;
    QString value;
    /** The connection window's field the value comes from, as its label names it; empty for the program's own. */
    QString field;
};
using Attributes = QList<Attribute>;

/**
 * ODBC ends an unbraced value at the first ";" and treats a leading "{" as
 * the start of a braced one, so such a value would otherwise lose its tail or
 * spill into the next attribute (a password with ";" could even add keys).
 */
QString attributeValue(const QString& value, BraceRule rule)
{
    if (!value.contains(QLatin1Char(';')) && !value.startsWith(QLatin1Char('{')))
        return value;
    if (rule == BraceRule::FreeTdsLegacy && !value.contains(QLatin1String("};")))
        return QLatin1Char('{') + value + QLatin1Char('}');
    QString quoted = value;
    quoted.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return QLatin1Char('{') + quoted + QLatin1Char('}');
}

QString written(const Attributes& attributes, BraceRule rule)
{
    QString text;
    for (const Attribute& a : attributes) {
        const bool driver = a.key == QLatin1String("DRIVER");
        text += a.key + QLatin1Char('=')
            + (driver ? QLatin1Char('{') + a.value + QLatin1Char('}') : attributeValue(a.value, rule))
            + QLatin1Char(';');
    }
    return text;
}

/** A braced value as ODBC and unixODBC read it: up to a "}" that is not doubled, "}}" standing for "}". */
qsizetype readBracedByOdbc(const QString& text, qsizetype at, QString& value)
{
    for (; at < text.size(); ++at) {
        if (text[at] == QLatin1Char('}')) {
            if (at + 1 >= text.size() || text[at + 1] != QLatin1Char('}'))
                return at + 1;
            ++at;
        }
        value += text[at];
    }
    return at;
}

/** A braced value as FreeTDS before 1.3.21 reads it: up to the first "}" followed by ";", "}}" kept. */
qsizetype readBracedByLegacyFreeTds(const QString& text, qsizetype at, QString& value)
{
    qsizetype end = at;
    while ((end = text.indexOf(QLatin1Char('}'), end)) >= 0
        && !(end + 1 < text.size() && text[end + 1] == QLatin1Char(';')))
        ++end;
    if (end < 0)
        end = text.size();
    value = text.mid(at, end - at);
    return end < text.size() ? end + 1 : end;
}

/** The attributes a reader following `rule` finds in the text, in order. */
Attributes read(const QString& text, BraceRule rule)
{
    Attributes found;
    qsizetype at = 0;
    for (;;) {
        while (at < text.size() && (text[at] == QLatin1Char(';') || text[at].isSpace()))
            ++at;
        const qsizetype equals = text.indexOf(QLatin1Char('='), at);
        if (at >= text.size() || equals < 0)
            return found;
        Attribute a{text.mid(at, equals - at), QString(), QString()};
        at = equals + 1;
        if (at < text.size() && text[at] == QLatin1Char('{')) {
            at = rule == BraceRule::Odbc ? readBracedByOdbc(text, at + 1, a.value)
                                         : readBracedByLegacyFreeTds(text, at + 1, a.value);
        } else {
            const qsizetype end = text.indexOf(QLatin1Char(';'), at);
            a.value = text.mid(at, (end < 0 ? text.size() : end) - at);
            at = end < 0 ? text.size() : end;
        }
        found << a;
    }
}

/** A key the driver manager could act on: letters, digits, "_" and blanks, as keywords are made. */
bool couldBeAKeyword(const QString& key)
{
    for (const QChar c : key)
        if (!c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char(' '))
            return false;
    return true;
}

bool sameKey(const QString& a, const QString& b)
{
    return a.trimmed().compare(b, Qt::CaseInsensitive) == 0;
}

/**
 * True when both readers get exactly what was written: the driver every value
 * as typed, and the driver manager the one DRIVER and no keyword that is not
 * ours (garbage that no keyword could be is left to the driver).
 */
bool readAsWritten(const Attributes& attributes, BraceRule rule)
{
    const QString text = written(attributes, rule);
    const Attributes byDriver = read(text, rule);
    if (byDriver.size() != attributes.size())
        return false;
    for (qsizetype i = 0; i < attributes.size(); ++i)
        if (!sameKey(byDriver[i].key, attributes[i].key) || byDriver[i].value != attributes[i].value)
            return false;
    int drivers = 0;
    for (const Attribute& a : read(text, BraceRule::Odbc)) {
        if (sameKey(a.key, QStringLiteral("DRIVER")) && (++drivers > 1 || a.value != DriverName))
            return false;
        const bool ours = std::any_of(
            attributes.cbegin(), attributes.cend(), [&](const Attribute& w) { return sameKey(a.key, w.key); });
        if (couldBeAKeyword(a.key) && !ours)
            return false;
    }
    return drivers == 1;
}

/** The field whose value alone cannot be carried intact; empty when every one can. */
QString unsafeField(const Attributes& attributes, BraceRule rule)
{
    if (readAsWritten(attributes, rule))
        return {};
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (attributes[i].field.isEmpty())
            continue;
        Attributes alone = attributes;
        for (qsizetype j = 0; j < alone.size(); ++j)
            if (j != i && !alone[j].field.isEmpty())
                alone[j].value.clear();
        if (!readAsWritten(alone, rule))
            return attributes[i].field;
    }
    return QStringLiteral("Password");
}

Attribute driverAttribute()
{
    return {QStringLiteral("DRIVER"), DriverName, QString()};
}

/** Database, user and password, with keywords spelt as the C library compares them under any locale. */
Attributes loginAttributes(const ConnectionSettings& s)
{
    return {{QStringLiteral("Database"), s.database, QStringLiteral("Database")},
        {QStringLiteral("UID"), s.user, QStringLiteral("Username")},
        {QStringLiteral("PWD"), s.password, QStringLiteral("Password")}};
}

Attributes freeTdsTail(bool encrypted)
{
    // Left to guess, FreeTDS tries an old Sybase login after a SQL Server
    // one that got no answer, and then never gives up. 7.4 is the newest
    // it speaks; an older server answers with its own, which FreeTDS takes.
    Attributes tail{{QStringLiteral("TDS_Version"), QStringLiteral("7.4"), QString()}};
    if (encrypted)
        tail << Attribute{QStringLiteral("Encryption"), QStringLiteral("require"), QString()};
    return tail;
}

Attributes directAttributes(const ConnectionSettings& s, const Driver& driver, bool encrypted)
{
    Attributes attributes{driverAttribute()};
    QString server = s.local ? s.server : s.server + QLatin1Char(',') + s.port;
    const qsizetype instance = s.server.indexOf(QLatin1Char('\\'));
    const bool portApart = driver.freeTds && !s.local && instance >= 0 && !s.port.isEmpty();
    if (driver.freeTds && !s.local && instance >= 0)
        server = portApart ? s.server.left(instance) : s.server;
    attributes << Attribute{QStringLiteral("Server"), server, QStringLiteral("Server")};
    if (portApart)
        attributes << Attribute{QStringLiteral("Port"), s.port, QStringLiteral("Port")};
    attributes << loginAttributes(s);
    if (driver.freeTds)
        attributes << freeTdsTail(encrypted);
    return attributes;
}

Attributes sectionAttributes(const QString& section, const ConnectionSettings& s, bool encrypted)
{
    Attributes attributes{driverAttribute(), {QStringLiteral("SERVERNAME"), section, QString()}};
    return attributes << loginAttributes(s) << freeTdsTail(encrypted);
}

/** A host FreeTDS's settings file can name: letters, digits and what names and addresses are written with. */
bool plainHost(const QString& host)
{
    for (const QChar c : host)
        if (!c.isLetterOrNumber() && !QStringLiteral(".-_:%").contains(c))
            return false;
    return !host.isEmpty();
}

} // namespace

BraceRule BraceRuleForFreeTds(const QVersionNumber& freeTds)
{
    if (freeTds.isNull())
        return BraceRule::Odbc;
    // Missing parts count as 0: "1.4" (and a "1.4.dev" snapshot) is 1.4.0.
    const QVersionNumber release(freeTds.majorVersion(), freeTds.minorVersion(), freeTds.microVersion());
    if (release < QVersionNumber(1, 3, 21) || release == QVersionNumber(1, 4, 0))
        return BraceRule::FreeTdsLegacy;
    return BraceRule::Odbc;
}

Driver RegisteredDriver()
{
    const QVersionNumber freeTds = odbc::FreeTdsVersionOf(odbc::DriverLibrary(DriverName));
    return Driver(BraceRuleForFreeTds(freeTds), !freeTds.isNull());
}

QString ConnectionString(const ConnectionSettings& s, const Driver& driver, bool encrypted)
{
    return written(directAttributes(s, driver, encrypted), driver.braces);
}

QString ConnectionString(const ConnectionSettings& settings)
{
    const Driver driver = RegisteredDriver();
    return ConnectionString(settings, driver, driver.freeTds);
}

QString ConnectionStringThrough(
    const QString& section, const ConnectionSettings& s, const Driver& driver, bool encrypted)
{
    return written(sectionAttributes(section, s, encrypted), driver.braces);
}

QString UnsafeField(const ConnectionSettings& s, const Driver& driver)
{
    if (!driver.freeTds)
        return unsafeField(directAttributes(s, driver, false), driver.braces);
    // FreeTDS is given the host in a settings file of its own, line by line.
    if (!plainHost(tds::ParseAddress(s.server, s.port, s.local).host))
        return QStringLiteral("Server");
    return unsafeField(sectionAttributes(QStringLiteral("quorvane-0"), s, true), driver.braces);
}

void RefuseUnsafeFields(const ConnectionSettings& s, const Driver& driver)
{
    const QString field = UnsafeField(s, driver);
    if (field.isEmpty())
        return;
    if (field == QLatin1String("Server"))
        throw quorvane::Error(quorvane::UnspecifiedFailure,
            QStringLiteral("Server: \"%1\" does not name a host; a host name holds only letters, digits, \".\", \"-\" "
                           "and \"_\", and an address only digits, \".\" and \":\".")
                .arg(s.server));
    throw quorvane::Error(quorvane::UnspecifiedFailure,
        QStringLiteral("%1: the value as typed cannot be sent safely with the installed driver, which would read part "
                       "of it as a setting of its own. Nothing was sent. Change it, or use a driver that reads braces "
                       "as ODBC does (FreeTDS 1.3.21 or later).")
            .arg(field));
}

} // namespace SqlServer
