#pragma once

#include "platform/odbc/Odbc.h"
#include "platform/workbook/Workbook.h"
#include "shell/Async.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/**
 * The rows of an open record set, read ahead and made into cells on a thread
 * of their own while the window's thread hands them to the workbook; the
 * window's thread awaits their arrival, so the window goes on answering
 * however long the server takes. At most a few
 * small batches wait at any moment, so memory stays flat however fast either
 * side is.
 */
class RowReader {
public:
    struct Row {
        /** One per field; of a long-binary field only whether it is null (kind Null, else Binary with no bytes). */
        std::vector<odbc::FieldValue> values;
        /** Each value as its cell (ToCell; empty for long binary); may point into `values` and `scratch`. */
        std::vector<xl::CellValue> cells;
        std::vector<std::string> scratch;
        /** Whether ToCell cut the value to what a cell holds. */
        std::vector<char> truncated;
        /** The fields before this one were read; fewer than all when reading failed. */
        int read = 0;
    };

    /**
     * Starts reading `records`, open and on its first row, which nothing else
     * may touch until this reader is gone. A long-binary field is left unread
     * but for whether it is null.
     */
    RowReader(odbc::Recordset& records, std::vector<odbc::FieldInfo> fields);
    /**
     * Stops reading at the next row, and asks the driver to end a fetch that
     * waits on the server meanwhile; returns once the call it is in has.
     */
    ~RowReader();
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    /**
     * The next row when it has arrived, else nullptr: then await arrival()
     * while pending(), else the rows have ended (after the last one, or once
     * reading failed). The row stays valid until the next call.
     */
    const Row* next();
    /** Whether rows may still arrive. */
    bool pending();
    /** Resumes once the reader has delivered rows or ended; throws ProgramEnded when the program ends. */
    Async::Signal::Awaiter arrival() { return m_arrived.next(); }

    /** Why reading ended early (null when it did not) and the step: 202 a value, 206 the next row. */
    std::exception_ptr failure() const { return m_failure; }
    int failedLine() const { return m_failedLine; }

private:
    struct Batch {
        std::vector<Row> rows;
        std::size_t count = 0;
    };

    void readAll();
    /** Reads rows into `batch` until it is full, a moment has passed, or reading ends; false once it has ended. */
    bool fill(Batch& batch);
    /** Reads the current row's fields into `row` and makes their cells; answers the bytes read. Throws. */
    std::size_t readRow(Row& row);

    odbc::Recordset& m_records;
    const std::vector<odbc::FieldInfo> m_fields;

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<Batch>> m_ready;
    std::vector<std::unique_ptr<Batch>> m_spare;
    bool m_done = false;
    /** Set under the lock; read without it between rows. */
    std::atomic<bool> m_stop = false;
    /** The reader is filling a batch, so it may be in a call to the driver. */
    bool m_reading = false;
    std::exception_ptr m_failure;
    int m_failedLine = 0;
    Async::Signal m_arrived;

    std::unique_ptr<Batch> m_current;
    std::size_t m_position = 0;
    std::thread m_thread;
};
