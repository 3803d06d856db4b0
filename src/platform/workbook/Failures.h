#pragma once

// How the workbook model fails: a refusal by Excel's rules, or its storage
// failing, told in the system's words when a system call failed.

#include "platform/workbook/Workbook.h"

namespace xl {

using quorvane::systemWords;

/** A refusal by Excel's rules: plain quorvane::Error. */
[[noreturn]] void fail(long number, const QString& text);
/** The workbook's storage failed: StorageError. */
[[noreturn]] void failStorage(long number, const QString& text);
/** The workbook's storage failed in a system call: StorageError with the system's words. */
[[noreturn]] void failSystem(int error, const QString& what);

} // namespace xl
