#pragma once

#include "platform/odbc/Odbc.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

/**
 * The rows of an open record set, read ahead on a thread of their own while
 * the window's thread writes them, so that the window goes on answering
 * however long the server takes. At most a few small batches wait at any
 * moment, so memory stays flat however fast either side is.
 */
class RowReader {
public:
    struct Row {
        /** One per field; of a skipped field only whether it is null (kind Null, else Binary with no bytes). */
        std::vector<odbc::FieldValue> values;
        /** The fields before this one were read (or left unread on purpose); fewer than all when reading failed. */
        int read = 0;
    };

    /**
     * Starts reading `records`, open and on its first row, which nothing else
     * may touch until this reader is gone. `skip[f]` leaves field f unread but
     * for whether it is null.
     */
    RowReader(odbc::Recordset& records, std::vector<bool> skip);
    /** Stops reading; waits for the call the driver is in to end. */
    ~RowReader();
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    /**
     * The next row, or nullptr after the last one or once reading failed. While
     * it waits, the window system is answered; throws ProgramEnded when the
     * program ends meanwhile. The row stays valid until the next call.
     */
    const Row* next();

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

    odbc::Recordset& m_records;
    const std::vector<bool> m_skip;

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<Batch>> m_ready;
    std::vector<std::unique_ptr<Batch>> m_spare;
    bool m_done = false;
    bool m_stop = false;
    std::exception_ptr m_failure;
    int m_failedLine = 0;

    std::unique_ptr<Batch> m_current;
    std::size_t m_position = 0;
    std::thread m_thread;
};
