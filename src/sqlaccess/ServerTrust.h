#pragma once

// Whom the program trusts to receive the login. Before FreeTDS is given the
// password, the server has shown (platform/tds/ServerProbe) whether it can
// encrypt and which certificate it holds, and this decides, as SSH does with
// its known hosts:
//
// - a certificate issued by an authority of the system's trust store for the
//   server's name is taken without a word;
// - a certificate the server signed itself (every SQL Server without one of
//   its own makes one) is shown by its fingerprint and, once the user trusts
//   it, pinned for that server: later logins check it silently, and one that
//   changes is refused until the user trusts the new one;
// - a server that cannot encrypt is reached in clear only after the user has
//   agreed, once per server; one that was reached encrypted before and now
//   cannot, or whose handshake fails, is refused.
//
// FreeTDS is then told exactly that: a section of a freetds.conf of the
// program's own names the host, the port, "encryption = require" and the one
// file of certificates it may accept, so it checks the server itself.

#include "platform/tds/ServerProbe.h"

#include <QString>
#include <functional>

namespace ServerTrust {

/** Asks the user a question with Yes and No; true for Yes. */
using Question = std::function<bool(const QString& text)>;

/** How FreeTDS is to reach the server this time. */
struct Route {
    /** The freetds.conf section, for "SERVERNAME=". */
    QString section;
    bool encrypted = true;
};

/**
 * The route to the server at `address` (its port as the probe reached it),
 * given what it showed. Asks through `ask` where the user must decide; with
 * no `ask` (start-up) nothing is asked and such a server is not reached.
 * Throws quorvane::Error with the reason when the server must not get the
 * login, before anything is sent.
 */
Route Decide(const tds::Address& address, const tds::Probe& probe, const Question& ask);

/** $XDG_CONFIG_HOME/Brantlow/Quorvane-servers.ini: what the user decided about each server. */
QString KnownServersFile();

/** The freetds.conf FreeTDS reads, named by FREETDSCONF from the start of the process. */
QString FreeTdsConfigFile();

} // namespace ServerTrust
