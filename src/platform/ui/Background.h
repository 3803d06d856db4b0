#pragma once

#include <QColor>

class QWidget;

/** Gives a widget its own background colour (a window, frame, label or check box), painted by the widget itself. */
void SetBackground(QWidget* widget, const QColor& colour);
