#pragma once

#include <QString>

namespace TableSource {

/**
 * The query that reads a whole table: "SELECT * FROM [schema].[name]", or
 * "SELECT * FROM [name]" without a schema, every "]" inside a name doubled,
 * which is the server's own quoting.
 */
QString Query(const QString& name, const QString& schema);

} // namespace TableSource
