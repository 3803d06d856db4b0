#include "windows/WizardWindow.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

namespace {
/**
 * Outside a dialog a push button answers Space only; here Return and the
 * keypad's Enter press the focused button too, as they do on Windows. No
 * Q_OBJECT: to style sheets and the skin it stays a QPushButton.
 */
class EnterPressesButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat())
            click();
        else
            QPushButton::keyPressEvent(event);
    }
};
} // namespace

WizardWindow::WizardWindow(QSize clientSize, QWidget* parent)
    : QWidget(parent,
        Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
            | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setFixedSize(clientSize);
}

QFont WizardWindow::arial(qreal pointSize, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(pointSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

void WizardWindow::styleButton(QWidget* button)
{
    button->setFont(arial(11.25, true));
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, QApplication::palette().color(QPalette::ButtonText));
    palette.setColor(QPalette::Button, Qt::white);
    button->setPalette(palette);
}

QPushButton* WizardWindow::makeButton(QWidget* parent, const char* name, const QString& caption, const QRect& geometry)
{
    auto* button = new EnterPressesButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    button->setDefault(false);
    styleButton(button);
    return button;
}

void WizardWindow::showEvent(QShowEvent* event)
{
    if (!m_centred) {
        m_centred = true;
        if (QScreen* screen = QApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}
