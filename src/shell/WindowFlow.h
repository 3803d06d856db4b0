#pragma once

#include <QIcon>

class QWidget;

/** Where the two pages find each other, and what they share. */
namespace WindowFlow {

void SetConnectionWindow(QWidget* window);
QWidget* ConnectionWindow();

/** The application icon: 32, 48, 128 and 256 pixels. */
QIcon ApplicationIcon();

} // namespace WindowFlow
