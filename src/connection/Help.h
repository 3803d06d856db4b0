#pragma once

#include <QString>

namespace Help {

/** Where the database tool that the help names can be downloaded. */
inline constexpr const char* DownloadAddress = "https://www.sqlmanager.net/products/mssql/manager/download";

/** The help text, breaks made of two carriage returns. */
QString ConnectionHelpText();

/** "Help": explains how to find why a connection fails and offers the example picture. */
void ShowConnectionHelp();

} // namespace Help
