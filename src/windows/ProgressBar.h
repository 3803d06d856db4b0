#pragma once

#include <QElapsedTimer>
#include <QProgressBar>

/**
 * A progress bar that shows its text as given (no %-placeholders). The export
 * changes the row and field texts for every cell; those are kept as numbers
 * and turned into text only when the bar is painted or asked, so a copy of a
 * million cells does not build a million strings nobody sees.
 */
class ProgressBar : public QProgressBar {
    Q_OBJECT

public:
    explicit ProgressBar(QWidget* parent = nullptr);

    QString text() const override;
    void setText(const QString& text);

    /** "Processing: <name>, row <n> from <total>..." */
    void setRowText(const QString& name, long long row, long long total);
    /** "Processing: <name>, row <n> from <total>, field <f> from <count>..." */
    void setFieldText(long long field, long long count);

    /**
     * Schedules a repaint when the row or field changed since the last one,
     * at most about 30 times a second: the text is made from the numbers
     * as they stand when the bar paints.
     */
    void flush();

private:
    enum class Mode { Plain, Row, Field };
    Mode m_mode = Mode::Plain;
    QString m_text;
    QString m_name;
    long long m_row = 0, m_total = 0, m_field = 0, m_count = 0;
    bool m_dirty = false;
    QElapsedTimer m_sincePaint;
};
