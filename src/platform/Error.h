#pragma once

#include <QString>
#include <cstring>
#include <stdexcept>

namespace quorvane {

/** The classic "unspecified failure": a failure told in the program's own words. */
inline constexpr long UnspecifiedFailure = -2147467259;

/** The classic "Timeout expired". */
inline constexpr long TimedOut = -2147217871;

/** What the system says of an errno value, in the user's language. */
inline QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

/**
 * A failure raised by any layer of the program: a number and the description
 * that the failing part (database driver, workbook writer, system call) gave.
 * Callers rely on this being thrown; no layer answers failure by status code.
 */
class Error : public std::runtime_error {
public:
    Error(long number, const QString& description)
        : std::runtime_error(description.toStdString()), m_number(number), m_description(description)
    { }

    long number() const { return m_number; }
    const QString& description() const { return m_description; }

private:
    long m_number;
    QString m_description;
};

} // namespace quorvane
