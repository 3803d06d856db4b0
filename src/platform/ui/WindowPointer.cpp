#include "platform/ui/WindowPointer.h"

#include <QWidget>

WindowPointer::WindowPointer(QWidget* window) : m_window(window)
{ }

void WindowPointer::setMousePointer(int pointer)
{
    if (pointer == m_pointer)
        return;
    m_pointer = pointer;
    apply();
}

void WindowPointer::setMouseIcon(const QCursor& cursor)
{
    m_icon = cursor;
    apply();
}

void WindowPointer::apply()
{
    std::optional<QCursor> shape;
    if (m_pointer == Hourglass)
        shape = QCursor(Qt::WaitCursor);
    else if (m_pointer == Custom && m_icon)
        shape = *m_icon;

    const auto children = m_window->findChildren<QWidget*>();
    if (shape) {
        m_window->setCursor(*shape);
        for (QWidget* child : children) {
            if (!m_saved.contains(child))
                m_saved.insert(child,
                    child->testAttribute(Qt::WA_SetCursor) ? std::optional<QCursor>(child->cursor()) : std::nullopt);
            child->setCursor(*shape);
        }
        return;
    }
    m_window->unsetCursor();
    for (auto it = m_saved.cbegin(); it != m_saved.cend(); ++it) {
        if (!children.contains(it.key()))
            continue;
        if (it.value())
            it.key()->setCursor(*it.value());
        else
            it.key()->unsetCursor();
    }
    m_saved.clear();
}
