// Descriptors, and the temporary file that keeps the written cells.

#include "platform/workbook/TempStore.h"

#include "platform/workbook/Failures.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace xl {

UniqueFd::~UniqueFd()
{
    reset();
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

TempStore::TempStore(const QString& folder)
{
    const QByteArray dir = QFile::encodeName(folder);
    m_fd = ::open(dir.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        // File systems without unnamed files: take a name and drop it at once.
        QByteArray name = dir + "/.quorvane-cells-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd < 0)
            failSystem(errno, QStringLiteral("Cannot create a temporary file in %1").arg(folder));
        ::unlink(name.constData());
    }
}

TempStore::~TempStore()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::uint64_t TempStore::append(const char* data, std::size_t size)
{
    const std::uint64_t start = reserve(size);
    writeAt(start, data, size);
    return start;
}

std::uint64_t TempStore::reserve(std::size_t size)
{
    return m_size.fetch_add(size);
}

void TempStore::writeAt(std::uint64_t offset, const char* data, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, data + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failSystem(errno, QStringLiteral("Cannot keep the cells in the temporary file"));
        }
        done += std::size_t(n);
    }
}

void TempStore::read(std::uint64_t offset, char* into, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_fd, into + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failSystem(n < 0 ? errno : EIO, QStringLiteral("Cannot read the cells back from the temporary file"));
        done += std::size_t(n);
    }
}

} // namespace xl
