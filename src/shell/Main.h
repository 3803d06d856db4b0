#pragma once

#include <QString>
#include <QVariant>

/** Small routines shared by both windows. */
namespace Main {

inline const QString ProductName = QStringLiteral("Quorvane");

/** True exactly when the path's last-modified time can be read; never fails. */
bool FileExists(const QString& path);

/**
 * The folder of the executable without a trailing separator. Files beside
 * the program are named by appending "/HAND-M.CUR" and the like.
 */
QString ApplicationFolder();
/** Tests point the program at another folder of files beside it. */
void SetApplicationFolder(const QString& folder);

/**
 * Shortens a product name word by word: the last space and what follows go
 * at least once, and again while the result is longer than 40 characters.
 * A name without any space keeps its full text, as there is no word to drop.
 */
QString ApplicationTitleFor(const QString& productName);

/** Computes the application title from the product name and makes it the boxes' caption. */
void ApplyApplicationTitle();
QString ApplicationTitle();

/**
 * Raises the soft limit of open files to the hard limit, never lowering it.
 * Writing a workbook keeps a file open for each of its sheets, and a table
 * per sheet readily makes more than the usual soft limit of 1,024; the hard
 * limit is what the system allows this user anyway. Called once at start.
 */
void RaiseOpenFileLimit();

/** The second argument when the first is null, otherwise the first. */
QVariant NullToDefault(const QVariant& value, const QVariant& fallback);

} // namespace Main
