#pragma once

#include <QString>
#include <functional>

/** What the connection window's fields hold at the moment a connection is opened. */
struct ConnectionSettings {
    QString server;
    QString port = QStringLiteral("1433");
    QString user;
    QString password;
    QString database;
    bool local = false;
};

namespace SqlServer {

/**
 * The connection window is the only copy of the settings; it registers how to
 * read them, and every connection reads them at the moment it opens.
 */
void SetConnectionSettingsSource(std::function<ConnectionSettings()> source);
ConnectionSettings CurrentConnectionSettings();

} // namespace SqlServer
