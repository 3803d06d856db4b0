#pragma once

// Descriptors, and the temporary file that keeps the written cells until the
// workbook is written.

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace xl {

/** A descriptor closed with its owner. */
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) { }
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    /** Closes the descriptor held and holds `fd` instead. */
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

/**
 * A temporary file that has no name from the start (or loses it at once), so
 * the system removes it with the last descriptor, even when the program ends
 * without running any destructor.
 */
class TempStore {
public:
    explicit TempStore(const QString& folder);
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    /** Appends the bytes and answers where they went. Two threads may append at once. */
    std::uint64_t append(const char* data, std::size_t size);
    /** Sets aside room for `size` bytes at the end, to be written later (from any thread) with writeAt. */
    std::uint64_t reserve(std::size_t size);
    void writeAt(std::uint64_t offset, const char* data, std::size_t size) const;
    void read(std::uint64_t offset, char* into, std::size_t size) const;

private:
    int m_fd = -1;
    /** Appended to from the thread that writes cells and from the writer's. */
    std::atomic<std::uint64_t> m_size = 0;
};

} // namespace xl
