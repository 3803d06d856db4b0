// The sheets packed as cells arrive: each buffer of records goes into the
// cell store and, on the writer's thread, into its sheet's rows, packed
// into the cell store beside the records while the next ones are being read
// from the database.

#include "platform/workbook/SheetXml.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace xl {

namespace {

/** Buffers that may wait for the writer before the one who writes cells is told to wait in turn (behind()), */
constexpr std::size_t WaitingBuffers = 4;
/** and before a hand-over itself waits, for one who writes on regardless: memory stays bounded. */
constexpr std::size_t MostWaitingBuffers = 4 * WaitingBuffers;

/** Set by the tests: a slow disk under the writer. */
std::atomic<int> g_writerPause = 0;

/** A buffer of one sheet's records on its way to the writer. */
struct Job {
    std::uint32_t serial;
    std::unique_ptr<char[]> records;
    std::size_t size;
    std::uint64_t offset;
};

} // namespace

struct CellStream::Impl {
    /** The writer's side of one sheet of the model. */
    struct Sheet {
        enum State { Fresh, Packed, Unpackable }; // and open while it is `open`
        State state = Fresh;
        Cursor at; // decoding carries over from buffer to buffer
        PackedRows packed;

        void unpackable()
        {
            state = Unpackable;
            packed = PackedRows{};
        }
    };

    TempStore& cells; // the records, and the packed rows beside them

    // Shared with the thread that writes cells.
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Job> waiting;
    std::vector<std::unique_ptr<char[]>> spare;
    bool busy = false; // a job is being written
    bool stop = false;
    std::exception_ptr failure; // the records could not be kept: they wait in `unkept`
    std::deque<Job> unkept; // in the order they came, for finish to try again
    std::thread thread;

    // The writer's thread only, until it has been drained.
    std::unordered_map<std::uint32_t, Sheet> sheets;
    Deflater packer;
    std::unique_ptr<SheetRows> rows; // of the open sheet
    Sheet* open = nullptr;
    bool packingFailed = false; // every sheet is made from the cell store

    explicit Impl(TempStore& cells) : cells(cells) { }

    void run();
    std::exception_ptr keep(const Job& job);
    void write(const Job& job);
    void start(Sheet& sheet);
    void close();
    void giveUp(Sheet& sheet);
    void stopPacking();
    void drain();
};

CellStream::CellStream(TempStore& cells) : d(std::make_unique<Impl>(cells))
{ }

CellStream::~CellStream()
{
    {
        const std::lock_guard<std::mutex> hold(d->lock);
        d->stop = true;
    }
    d->changed.notify_all();
    if (d->thread.joinable())
        d->thread.join();
}

std::unique_ptr<char[]> CellStream::hand(
    std::uint32_t serial, std::unique_ptr<char[]> records, std::size_t size, std::uint64_t offset)
{
    std::unique_lock<std::mutex> hold(d->lock);
    if (!d->thread.joinable())
        d->thread = std::thread([this] { d->run(); });
    // Handed over first: whatever fails or the hook does meanwhile, the records
    // are the writer's, kept or waiting to be tried again.
    d->waiting.push_back({serial, std::move(records), size, offset});
    d->changed.notify_all();
    d->changed.wait(hold, [&] { return d->failure || d->waiting.size() <= MostWaitingBuffers; });
    if (d->failure)
        std::rethrow_exception(d->failure);
    if (!d->spare.empty()) {
        auto buffer = std::move(d->spare.back());
        d->spare.pop_back();
        return buffer;
    }
    hold.unlock();
    return std::make_unique_for_overwrite<char[]>(RecordBufferSize);
}

bool CellStream::behind() const
{
    const std::lock_guard<std::mutex> hold(d->lock);
    return !d->failure && d->waiting.size() > WaitingBuffers;
}

void CellStream::Impl::drain()
{
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return waiting.empty() && !busy; });
}

void CellStream::finish()
{
    d->drain();
    // The writer is idle: records it could not keep are tried once more
    // here, in order, and their sheets made from the cell store.
    if (d->failure) {
        while (!d->unkept.empty()) {
            const Job& job = d->unkept.front();
            d->cells.writeAt(job.offset, job.records.get(), job.size);
            d->unkept.pop_front();
        }
        const std::lock_guard<std::mutex> hold(d->lock);
        d->failure = nullptr;
        d->stopPacking();
    }
    try {
        d->close();
    } catch (...) {
        d->stopPacking();
    }
}

bool CellStream::allKept() const
{
    return d->unkept.empty();
}

const PackedRows* CellStream::rows(std::uint32_t serial) const
{
    const auto found = d->sheets.find(serial);
    if (d->packingFailed || found == d->sheets.end() || found->second.state != Impl::Sheet::Packed)
        return nullptr;
    return &found->second.packed;
}

void CellStream::Impl::run()
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        changed.wait(hold, [&] { return stop || !waiting.empty(); });
        if (stop || waiting.empty())
            return;
        Job job = std::move(waiting.front());
        waiting.pop_front();
        busy = true;
        const bool failed = bool(failure);
        hold.unlock();
        roomMade();
        const std::exception_ptr met = failed ? nullptr : keep(job);
        hold.lock();
        busy = false;
        if (met && !failure)
            failure = met;
        if (failure)
            unkept.push_back(std::move(job));
        else
            spare.push_back(std::move(job.records));
        changed.notify_all();
    }
}

/**
 * Keeps the job's records in the cell store and packs them into their sheet;
 * answers a failure to keep them. Packing that fails (the store full, out of
 * memory) stops packing: the records are all kept, and the file is made
 * from them, which tells what failed.
 */
std::exception_ptr CellStream::Impl::keep(const Job& job)
{
    if (const int pause = g_writerPause.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    try {
        cells.writeAt(job.offset, job.records.get(), job.size);
    } catch (const StorageError&) {
        return std::current_exception();
    }
    try {
        write(job);
    } catch (...) {
        stopPacking();
    }
    return nullptr;
}

void CellStream::Impl::stopPacking()
{
    packingFailed = true;
    rows.reset();
    open = nullptr;
    sheets.clear();
}

void CellStream::Impl::write(const Job& job)
{
    if (packingFailed)
        return;
    Sheet& sheet = sheets[job.serial];
    if (open != &sheet) {
        close();
        if (sheet.state == Sheet::Fresh)
            start(sheet);
        else if (sheet.state == Sheet::Packed)
            sheet.unpackable(); // gone back to: the packed rows are no longer all of it
    }
    if (open != &sheet)
        return;
    forEachRecord(job.records.get(), job.records.get() + job.size, sheet.at, [&](const Record& r) {
        if (open == &sheet && !rows->add(r))
            giveUp(sheet);
    });
}

void CellStream::Impl::start(Sheet& sheet)
{
    packer.begin(intoStore(cells, sheet.packed));
    rows = std::make_unique<SheetRows>(packer);
    open = &sheet;
}

/** Ends the open sheet's rows: it is packed. */
void CellStream::Impl::close()
{
    if (!open)
        return;
    rows->finish(open->packed);
    open->state = Sheet::Packed;
    rows.reset();
    open = nullptr;
}

/** The sheet's cells cannot all go into its rows as they come: it is made from the cell store at the end. */
void CellStream::Impl::giveUp(Sheet& sheet)
{
    if (open == &sheet) {
        rows.reset();
        open = nullptr;
        packer.begin([](const char*, std::size_t) {});
    }
    sheet.unpackable();
}

void Application::setWriterPause(int milliseconds)
{
    g_writerPause = milliseconds;
}

} // namespace xl
