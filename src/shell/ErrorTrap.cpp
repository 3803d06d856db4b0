#include "shell/ErrorTrap.h"

#include "platform/Error.h"
#include "shell/ErrorReport.h"

#include <new>

QString ErrorTrap::describe(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const quorvane::Error& e) {
        return e.description();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void ErrorTrap::report(std::exception_ptr error)
{
    ErrorReport::show(describe(error), m_location, m_line);
}

void ErrorTrap::reportAt(int line, const QString& description)
{
    m_line = line;
    ErrorReport::show(description, m_location, line);
}
