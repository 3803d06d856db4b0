#pragma once

#include <QCursor>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <optional>

class QWidget;

/**
 * The pointer of one window, in the classic three values: 0 default (each
 * control shows its usual pointer), 11 hourglass, 99 the window's own
 * pointer image. A non-default pointer shows over the window's controls too.
 */
class WindowPointer {
public:
    enum Shape { Default = 0, Hourglass = 11, Custom = 99 };

    explicit WindowPointer(QWidget* window);

    int mousePointer() const { return m_pointer; }
    void setMousePointer(int pointer);

    bool hasMouseIcon() const { return m_icon.has_value(); }
    const std::optional<QCursor>& mouseIcon() const { return m_icon; }
    void setMouseIcon(const QCursor& cursor);

private:
    void apply();

    QWidget* m_window;
    int m_pointer = Default;
    std::optional<QCursor> m_icon;
    // Controls that carry their own pointer (a text box's I-beam) get it back at 0.
    QHash<QWidget*, std::optional<QCursor>> m_saved;
};
