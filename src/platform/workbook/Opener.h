#pragma once

#include <QString>

/**
 * Opens a file in the user's default application: xdg-open with the path as
 * its own argument, no shell, not waited for and left running when this
 * program ends. Throws quorvane::Error when the opener cannot be started.
 *
 * The written workbook goes to the same opener, watched until it ends (see
 * xl::Application::writeAndOpen and setOpenFailureHandler).
 */
void OpenWithDefaultApplication(const QString& path);
