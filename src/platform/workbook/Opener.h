#pragma once

// The desktop's opener: xdg-open with the path as its own argument, no shell.

#include <QString>

/**
 * Opens a file in the user's default application, not waited for and left
 * running when this program ends. Throws quorvane::Error when the opener
 * cannot be started.
 */
void OpenWithDefaultApplication(const QString& path);

namespace xl {

/**
 * Hands a written workbook to the same opener on the application's thread
 * (also when called from another one), watched until it ends: a failure goes
 * to the open-failure handler (see xl::Application::writeAndOpen and
 * setOpenFailureHandler).
 */
void openInDesktop(const QString& path);

} // namespace xl
