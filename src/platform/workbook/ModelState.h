#pragma once

// The inner state of sheets and workbooks, which the parts of the model reach
// through ModelAccess. Workbook.cpp keeps it, SheetNames.cpp keeps the names.

#include "platform/workbook/CellRecords.h"
#include "platform/workbook/Workbook.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace xl {

class CellStream;
class TempStore;

/** Lets the parts of the model reach each other's inner state. */
struct ModelAccess {
    static Worksheet::Impl& of(const Worksheet& sheet) { return *sheet.d; }
    static Workbook::Impl& of(const Workbook& book) { return *book.d; }
};

struct Worksheet::Impl {
    struct Chunk {
        std::uint64_t offset;
        std::size_t length;
    };

    Workbook* workbook;
    /** Tells the sheet apart from every other of its workbook, deleted ones included. */
    std::uint32_t serial = 0;
    QString name;
    std::vector<Chunk> chunks;
    Cursor last; // position of the last record kept
    bool needsSort = false; // written out of row order, or a cell written twice
    std::vector<std::uint16_t> shown; // longest shown value per column, in characters
    bool autoFit = false;
    std::vector<std::uint16_t> fitted; // `shown` as AutoFit found it
};

struct Workbook::Impl {
    std::vector<std::unique_ptr<Worksheet>> sheets; // in tab order
    /**
     * Each sheet by its name as Excel compares names, and how many sheets have
     * each lower-cased name, so that finding a name costs the same however
     * many sheets there are.
     */
    QHash<QString, const Worksheet*> byName;
    QHash<QString, int> lowerNames;
    Worksheet* active = nullptr;
    std::unique_ptr<TempStore> store;
    std::unique_ptr<CellStream> stream;
    std::uint32_t nextSerial = 0;
    std::unique_ptr<char[]> buffer;
    std::size_t used = 0;
    Worksheet::Impl* owner = nullptr; // the sheet whose records the buffer holds
    std::string escaped; // reused for the rare texts that need escaping
    QString filePath; // set once the workbook has been written

    int indexOf(const Worksheet* sheet) const;
    void named(const Worksheet* sheet, const QString& name);
    void unnamed(const Worksheet* sheet, const QString& name);
    bool nameTaken(const QString& name, const Worksheet* except) const;
    QString freeDefaultName() const;
    /** Sends the buffered records to the temporary file and the writer. */
    void flush();
    /** Room for `size` bytes of the sheet's next record; the caller commits what it used. */
    char* reserve(Worksheet::Impl* sheet, std::size_t size);
};

/** "Sheet1", "Sheet2" and so on: the name a new sheet gets. */
QString defaultSheetName(int n);

} // namespace xl
