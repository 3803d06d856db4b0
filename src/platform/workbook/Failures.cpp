#include "platform/workbook/Failures.h"

namespace xl {

void fail(long number, const QString& text)
{
    throw quorvane::Error(number, text);
}

void failStorage(long number, const QString& text)
{
    throw StorageError(number, text);
}

void failSystem(int error, const QString& what)
{
    failStorage(error, what + QStringLiteral(": ") + systemWords(error));
}

} // namespace xl
