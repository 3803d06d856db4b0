#pragma once

#include <QString>

/** The standard report of every error trap: what failed, where, and whom to tell. */
namespace ErrorReport {

inline constexpr const char* SupportAddress = "support@quorvane.app";

/** The report's text, exactly as the box shows it. */
QString text(const QString& description, const QString& location, int line);

/** Shows the report (style 48, caption "Application Error") and returns when it is closed. */
void show(const QString& description, const QString& location, int line);

} // namespace ErrorReport
