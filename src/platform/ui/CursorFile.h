#pragma once

#include <QCursor>
#include <QString>

/**
 * Reads a Windows cursor file (.CUR) with its hot spot. Throws
 * quorvane::Error ("Invalid picture") when the file is not a usable cursor.
 */
QCursor LoadCursorFile(const QString& path);
