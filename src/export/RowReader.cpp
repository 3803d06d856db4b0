#include "export/RowReader.h"

#include "export/CellConversion.h"

#include <QElapsedTimer>

namespace {
/** A batch goes to the writer when it holds this many rows or values of this many bytes, */
constexpr std::size_t BatchRows = 256;
constexpr std::size_t BatchBytes = 1 << 20;
/** or when it has been filling for this long, so that the progress shown keeps up with a slow server. */
constexpr qint64 BatchMilliseconds = 20;
/** Batches read ahead of the writer. */
constexpr std::size_t ReadAhead = 2;
} // namespace

RowReader::RowReader(odbc::Recordset& records, std::vector<odbc::FieldInfo> fields)
    : m_records(records), m_fields(std::move(fields)), m_thread([this] { readAll(); })
{ }

RowReader::~RowReader()
{
    bool reading = false;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
        reading = m_reading;
    }
    m_changed.notify_all();
    // A fetch may wait on a slow or silent server for as long as its time-out,
    // and the window's thread waits here meanwhile. Should the reader have
    // finished the batch since, the cancel finds nothing left to stop.
    if (reading)
        m_records.cancel();
    m_thread.join();
}

bool RowReader::fill(Batch& batch)
{
    QElapsedTimer clock;
    clock.start();
    std::size_t bytes = 0;
    batch.count = 0;
    while (!m_stop && batch.count < BatchRows && bytes < BatchBytes && clock.elapsed() < BatchMilliseconds) {
        int line = 186;
        try {
            if (m_records.eof())
                return false;
            if (batch.rows.size() <= batch.count)
                batch.rows.emplace_back();
            ++batch.count;
            line = 202;
            bytes += readRow(batch.rows[batch.count - 1]);
            line = 206;
            m_records.moveNext();
        } catch (...) {
            const std::lock_guard<std::mutex> hold(m_lock);
            m_failure = std::current_exception();
            m_failedLine = line;
            return false;
        }
    }
    return true;
}

std::size_t RowReader::readRow(Row& row)
{
    const std::size_t count = m_fields.size();
    row.values.resize(count);
    row.cells.resize(count);
    row.scratch.resize(count);
    row.truncated.resize(count);
    row.read = 0;
    std::size_t bytes = 0;
    for (std::size_t f = 0; f < count; ++f) {
        odbc::FieldValue& value = row.values[f];
        if (m_fields[f].adoType == odbc::adLongVarBinary) {
            value.bytes.clear();
            value.kind = m_records.isNull(int(f)) ? odbc::FieldValue::Null : odbc::FieldValue::Binary;
            row.cells[f] = xl::CellValue{};
            row.truncated[f] = 0;
        } else {
            m_records.read(int(f), value);
            bytes += value.bytes.size();
            bool truncated = false;
            row.cells[f] = ToCell(m_fields[f], value, row.scratch[f], truncated);
            row.truncated[f] = truncated;
        }
        row.read = int(f) + 1;
    }
    return bytes;
}

void RowReader::readAll()
{
    for (bool more = true; more;) {
        std::unique_ptr<Batch> batch;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_changed.wait(hold, [&] { return m_stop || m_ready.size() < ReadAhead; });
            if (m_stop)
                break;
            if (!m_spare.empty()) {
                batch = std::move(m_spare.back());
                m_spare.pop_back();
            }
            m_reading = true;
        }
        if (!batch)
            batch = std::make_unique<Batch>();
        more = fill(*batch);
        {
            const std::lock_guard<std::mutex> hold(m_lock);
            m_reading = false;
            if (batch->count > 0)
                m_ready.push_back(std::move(batch));
        }
        m_changed.notify_all();
        m_arrived.notify();
    }
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_done = true;
    }
    m_changed.notify_all();
    m_arrived.notify();
}

const RowReader::Row* RowReader::next()
{
    if (m_current && m_position < m_current->count)
        return &m_current->rows[m_position++];
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_current)
        m_spare.push_back(std::move(m_current));
    if (m_ready.empty())
        return nullptr;
    m_current = std::move(m_ready.front());
    m_ready.pop_front();
    m_position = 0;
    hold.unlock();
    m_changed.notify_all();
    return &m_current->rows[m_position++];
}

bool RowReader::pending()
{
    const std::lock_guard<std::mutex> hold(m_lock);
    return !m_done || !m_ready.empty();
}
