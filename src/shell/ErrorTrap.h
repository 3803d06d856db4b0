#pragma once

#include "shell/Async.h"

#include <QString>
#include <exception>

/**
 * The error trap of a handler. Each numbered step runs under it; a step that
 * throws is reported with the trap's location and the step's line, and the
 * handler goes on with its next step. The program's end is no failure: it
 * passes through every trap. Routines without a trap of their own
 * simply throw, so their failures are reported at the caller's line.
 */
class ErrorTrap {
public:
    explicit ErrorTrap(QString location) : m_location(std::move(location)) { }

    /** Runs one step; answers false when it failed (after the report). */
    template <class F>
    bool step(int line, F&& f)
    {
        return guarded(
            line,
            [&] {
                f();
                return true;
            },
            false);
    }

    /** A step that was awaited: reports `failure` (when there is one) at `line`; answers whether it passed. */
    bool passed(int line, const std::exception_ptr& failure)
    {
        return step(line, [&] { Async::rethrow(failure); });
    }

    /** The test of a branch: when evaluating it fails, the branch body runs. */
    template <class F>
    bool test(int line, F&& condition)
    {
        return guarded(line, condition, true);
    }

    /**
     * The test of a loop. A test that fails would fail again on every pass,
     * so after its report the loop is left instead of running its body.
     */
    template <class F>
    bool loopTest(int line, F&& condition)
    {
        return guarded(line, condition, false);
    }

    int line() const { return m_line; }
    const QString& location() const { return m_location; }

    /** Reports a failure that the handler found itself, at the given line. */
    void reportAt(int line, const QString& description);

    /** The description a caught exception carries. */
    static QString describe(std::exception_ptr error);

private:
    /**
     * Runs `f` as the given line: its answer, or `whenFailed` once a failure
     * has been reported. The program's end passes through.
     */
    template <class F>
    bool guarded(int line, F&& f, bool whenFailed)
    {
        m_line = line;
        try {
            return static_cast<bool>(f());
        } catch (const ProgramEnded&) {
            throw;
        } catch (...) {
            report(std::current_exception());
            return whenFailed;
        }
    }

    void report(std::exception_ptr error);

    QString m_location;
    int m_line = 0;
};

namespace Locations {
inline const QString Prefix = QStringLiteral("Velmora2021/08/31.");
inline const QString ConnectionWindowLoad = Prefix + QStringLiteral("Form1.Form_Load");
inline const QString ConnectionWindowTest = Prefix + QStringLiteral("Form1.PushButton1_Click");
inline const QString ConnectionWindowNext = Prefix + QStringLiteral("Form1.PushButton2_Click");
inline const QString ConnectionWindowHelp = Prefix + QStringLiteral("Form1.PushButton4_Click");
inline const QString TableWindowLoad = Prefix + QStringLiteral("Form2.Form_Load");
inline const QString TableWindowBack = Prefix + QStringLiteral("Form2.PushButton2_Click");
inline const QString TableWindowFinish = Prefix + QStringLiteral("Form2.PushButton5_Click");
inline const QString TableWindowSelectAll = Prefix + QStringLiteral("Form2.PushButton8_Click");
inline const QString TableWindowDeselectAll = Prefix + QStringLiteral("Form2.PushButton9_Click");
inline const QString TableListing = Prefix + QStringLiteral("MSSQL.AddTablesToMSSQLListbox");
} // namespace Locations
