#pragma once

#include <QString>
#include <QStringList>

class QWidget;

/**
 * The skin of the connection window. A skin file is a Qt style sheet;
 * applying the skin to a window sets that sheet on it. The members mirror
 * the classic component's: load (2), options (1), two flags (5 and 10) and
 * apply to a window (3). Every call, reading the options too, is noted in
 * order, so that what the window asked of its skin can be told afterwards.
 */
class SkinFramework {
public:
    /** Member 2: reads the skin; throws quorvane::Error when the file cannot be read. */
    void LoadSkin(const QString& path, const QString& iniName);

    /** Member 1: skin options; bit 0 asks for the window's frame to follow the skin too. Noted like every call. */
    int Options();
    void SetOptions(int options);

    /** Member 5: let the skin colour the window's controls. */
    void SetApplyColors(bool on);
    /** Member 10: let the skin take the window's metrics (kept for the call order; layouts stay fixed). */
    void SetApplyMetrics(bool on);

    /** Member 3: draws the window with the loaded skin from now on. */
    void ApplyWindow(QWidget* window);

    const QString& styleSheet() const { return m_styleSheet; }
    /** Each call as "name(arguments)", in order. */
    const QStringList& calls() const { return m_calls; }

private:
    void note(const QString& call);

    QString m_styleSheet;
    int m_options = 0;
    bool m_applyColors = false;
    bool m_applyMetrics = false;
    QStringList m_calls;
};
