#pragma once

// The desktop's keyring (the Secret Service of GNOME Keyring or KeePassXC,
// KWallet on Plasma), through QtKeychain. Each call is waited for before it
// returns, within a time limit, with user input held back meanwhile.

#include <QString>

namespace Keyring {

/** What one call came to. */
struct Reply {
    enum class Outcome { Done, NotFound, Failed };
    Outcome outcome = Outcome::Failed;
    /** What was read. */
    QString secret;
    /** The keyring's words when it failed. */
    QString words;

    bool failed() const { return outcome == Outcome::Failed; }
};

/** Reads the entry `key` of `service`. */
Reply read(const QString& service, const QString& key);

/** Stores `secret` as the entry `key` of `service`. */
Reply write(const QString& service, const QString& key, const QString& secret);

} // namespace Keyring
