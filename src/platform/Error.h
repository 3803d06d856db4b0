#pragma once

#include <QString>
#include <stdexcept>

namespace quorvane {

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
