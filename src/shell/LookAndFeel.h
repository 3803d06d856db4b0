#pragma once

#include <QColor>
#include <QList>
#include <QString>

class QLineEdit;
class QWidget;
class SkinFramework;
class WindowPointer;

/** The small courtesies both windows share: skin, colours, pointers, focus. */
namespace LookAndFeel {

/** The system's button-face colour. */
QColor ButtonFace();

QString SkinFilePath();
QString HandCursorPath();

/**
 * With a skin file beside the program: the window and its frames, labels,
 * check boxes and option buttons take the button-face colour, and the skin is
 * loaded and applied. Without one nothing changes.
 */
void SetupSkin(QWidget* window, SkinFramework& skin);

/** The window and its frames, labels, check boxes and option buttons take the button-face colour. */
void ButtonFaceBackground(QWidget* window);

/**
 * Pointer rules: moving over a button shows the hand (99), over a surface the
 * default (0), and neither replaces the hourglass (11). Moving over an inert
 * control (labels, the progress bar) leaves the pointer as it is.
 */
void InstallHoverRules(WindowPointer& pointer, const QList<QWidget*>& buttons, const QList<QWidget*>& surfaces,
    const QList<QWidget*>& inert);

/** Selects a text box's whole content when it receives focus, by keyboard or by mouse. */
void InstallSelectAllOnFocus(const QList<QLineEdit*>& boxes);

} // namespace LookAndFeel
