#include "windows/ProgressBar.h"

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent)
{ }

QString ProgressBar::text() const
{
    switch (m_mode) {
    case Mode::Plain:
        return m_text;
    case Mode::Row:
        return QStringLiteral("Processing: ") + m_name + QStringLiteral(", row ") + QString::number(m_row)
            + QStringLiteral(" from ") + QString::number(m_total) + QStringLiteral("...");
    case Mode::Field:
        return QStringLiteral("Processing: ") + m_name + QStringLiteral(", row ") + QString::number(m_row)
            + QStringLiteral(" from ") + QString::number(m_total) + QStringLiteral(", field ")
            + QString::number(m_field) + QStringLiteral(" from ") + QString::number(m_count) + QStringLiteral("...");
    }
    return m_text;
}

void ProgressBar::setText(const QString& text)
{
    m_mode = Mode::Plain;
    m_text = text;
    update();
}

void ProgressBar::setRowText(const QString& name, long long row, long long total)
{
    m_mode = Mode::Row;
    if (name != m_name)
        m_name = name;
    m_row = row;
    m_total = total;
    m_dirty = true;
}

void ProgressBar::setFieldText(long long field, long long count)
{
    m_mode = Mode::Field;
    m_field = field;
    m_count = count;
    m_dirty = true;
}

void ProgressBar::flush()
{
    // A frame every 33 ms or more is all the eye follows.
    constexpr qint64 FrameMilliseconds = 33;
    if (m_dirty && (!m_sincePaint.isValid() || m_sincePaint.elapsed() >= FrameMilliseconds)) {
        m_dirty = false;
        m_sincePaint.start();
        update();
    }
}
