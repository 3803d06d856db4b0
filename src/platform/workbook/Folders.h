#pragma once

// The private folders of the model and the named files in them.

#include <QByteArray>
#include <QString>

namespace xl {

/** How a folder of the model is taken when it exists already. */
enum class FolderUse {
    /** Made mode 0700 again: it holds nothing the user should see (the scratch folder). */
    MakePrivate,
    /** Used with the mode the user gave it, as long as it can be written (the workbooks among the documents). */
    AsItIs,
};

/**
 * Creates the folder (and missing parents) mode 0700 and makes sure it is a
 * real folder of this user, not a link, that can be used as `use` says.
 * Throws StorageError otherwise.
 */
void ensurePrivateFolder(const QString& folder, FolderUse use);

/** Unlinks a file unless told to keep it; meanwhile it counts as unfinished. */
class FileGuard {
public:
    explicit FileGuard(QByteArray path);
    ~FileGuard();
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    void keep();

private:
    void forget();
    QByteArray m_path;
};

/** The suffix of a workbook file while it is written. */
inline constexpr char PartSuffix[] = ".part";

} // namespace xl
