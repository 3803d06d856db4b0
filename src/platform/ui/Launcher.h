#pragma once

#include <QString>

/**
 * Opens a file in the user's default application: xdg-open with the path as
 * its own argument, no shell, not waited for. Throws quorvane::Error when the
 * opener cannot be started.
 */
void OpenWithDefaultApplication(const QString& path);
