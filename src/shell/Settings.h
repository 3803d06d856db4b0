#pragma once

#include <QString>
#include <functional>

/**
 * The per-user settings store: application "Brantlow", section "Quorvane".
 * Every save reaches the file before it returns. The password goes to the
 * desktop's keyring instead (service "Quorvane", key "MSSQLPassword"), waited
 * for as well. Without a keyring the file holds it in plain text, as it does
 * for earlier runs, so the file is created and kept readable by its owner only.
 * Only the user's own regular file at that path is read or written: a folder,
 * a link, a fifo or another user's file standing there is left as it is.
 * A store that cannot be read or written never stops the program.
 */
namespace Settings {

enum class Key { Server, User, Password, Database, Port, LocalConnection };

struct KeyInfo {
    Key key;
    const char* name;
    const char* defaultValue;
};

/** Every key of the program with its default: the one place they are spelled. */
inline constexpr KeyInfo Keys[] = {
    {Key::Server, "MSSQLServer", ""},
    {Key::User, "MSSQLUser", ""},
    {Key::Password, "MSSQLPassword", ""},
    {Key::Database, "MSSQLDatabase", ""},
    {Key::Port, "MSSQLPort", "1433"},
    {Key::LocalConnection, "Local Connection", "0"},
};

const KeyInfo& info(Key key);

/**
 * The stored text, or the key's default when it is absent. A password found
 * in the file moves into the keyring when there is one.
 */
QString read(Key key);

/**
 * Saves one value. A save that fails tells the user once, naming the file and
 * the system's reason; later failures stay silent until a save succeeds again.
 * Once the keyring has failed, the password goes to the file for the rest of
 * the run, and the first password typed there tells the user so, once.
 */
void save(Key key, const QString& value);

/** Testing seam: sees every save as it is made. */
void setSaveObserver(std::function<void(Key, const QString&)> observer);

/** Testing seam: forgets a reported failure and a failed keyring, as at the start of a run. */
void resetFailureReport();

/** $XDG_CONFIG_HOME/Brantlow/Brantlow.ini (by default under ~/.config). */
QString filePath();

} // namespace Settings
