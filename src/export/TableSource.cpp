#include "export/TableSource.h"

namespace TableSource {
namespace {
QString bracketed(QString name)
{
    name.replace(QStringLiteral("]"), QStringLiteral("]]"));
    return QLatin1Char('[') + name + QLatin1Char(']');
}
} // namespace

QString Query(const QString& name, const QString& schema)
{
    if (schema.isEmpty())
        return QStringLiteral("SELECT * FROM ") + bracketed(name);
    return QStringLiteral("SELECT * FROM ") + bracketed(schema) + QLatin1Char('.') + bracketed(name);
}

} // namespace TableSource
