#include "shell/LookAndFeel.h"

#include "platform/skin/SkinFramework.h"
#include "platform/ui/Background.h"
#include "platform/ui/WindowPointer.h"
#include "shell/Main.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRadioButton>

namespace LookAndFeel {
namespace {
void colourWindowAndPlainControls(QWidget* window)
{
    const QColor face = ButtonFace();
    SetBackground(window, face);
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(child) || qobject_cast<QCheckBox*>(child) || qobject_cast<QGroupBox*>(child)
            || qobject_cast<QLabel*>(child))
            SetBackground(child, face);
    }
}

class HoverRules : public QObject {
public:
    HoverRules(WindowPointer& pointer, const QList<QWidget*>& buttons, const QList<QWidget*>& surfaces,
        const QList<QWidget*>& inert, QObject* parent)
        : QObject(parent)
        , m_pointer(pointer)
        , m_buttons(buttons.begin(), buttons.end())
        , m_surfaces(surfaces.begin(), surfaces.end())
        , m_inert(inert.begin(), inert.end())
    { }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::MouseMove)
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (m_inert.contains(widget))
            return true; // a label or the progress bar: no rule, and the parent must not see it either
        const bool button = m_buttons.contains(widget);
        if (!button && !m_surfaces.contains(widget))
            return false;
        if (m_pointer.mousePointer() != WindowPointer::Hourglass)
            m_pointer.setMousePointer(button ? WindowPointer::Custom : WindowPointer::Default);
        // A button without a pressed mouse button has no use for the move, and
        // letting it bubble would take the hand away again in the parent.
        return button && static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton;
    }

private:
    WindowPointer& m_pointer;
    QSet<QWidget*> m_buttons, m_surfaces, m_inert;
};

class SelectAllOnFocus : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* box = static_cast<QLineEdit*>(watched);
        if (event->type() == QEvent::FocusIn) {
            box->setSelection(0, box->text().size());
            // A click places the caret after focus arrives; select again once it is done.
            m_afterClick = static_cast<QFocusEvent*>(event)->reason() == Qt::MouseFocusReason ? box : nullptr;
        } else if (event->type() == QEvent::MouseButtonRelease && m_afterClick == box) {
            m_afterClick = nullptr;
            box->setSelection(0, box->text().size());
        } else if (event->type() == QEvent::FocusOut && m_afterClick == box) {
            m_afterClick = nullptr;
        }
        return false;
    }

private:
    QLineEdit* m_afterClick = nullptr;
};
} // namespace

QColor ButtonFace()
{
    return QApplication::palette().color(QPalette::Active, QPalette::Button);
}

QString SkinFilePath()
{
    return Main::ApplicationFolder() + QStringLiteral("/x/o.cjs");
}

QString HandCursorPath()
{
    return Main::ApplicationFolder() + QStringLiteral("/HAND-M.CUR");
}

void SetupSkin(QWidget* window, SkinFramework& skin)
{
    // Only an ordinary file switches the skin on: not a folder, not a hidden file.
    const QString path = SkinFilePath();
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || info.isHidden())
        return;
    colourWindowAndPlainControls(window);
    skin.LoadSkin(path, QString());
    skin.SetOptions(skin.Options() | 1);
    skin.SetApplyColors(true);
    skin.SetApplyMetrics(true);
    skin.ApplyWindow(window);
}

void ButtonFaceBackground(QWidget* window)
{
    colourWindowAndPlainControls(window);
}

void InstallHoverRules(WindowPointer& pointer, const QList<QWidget*>& buttons, const QList<QWidget*>& surfaces,
    const QList<QWidget*>& inert)
{
    QWidget* owner = surfaces.isEmpty() ? buttons.value(0) : surfaces.first();
    auto* rules = new HoverRules(pointer, buttons, surfaces, inert, owner);
    for (const QList<QWidget*>* group : {&buttons, &surfaces, &inert})
        for (QWidget* widget : *group) {
            widget->setMouseTracking(true);
            widget->installEventFilter(rules);
        }
}

void InstallSelectAllOnFocus(const QList<QLineEdit*>& boxes)
{
    if (boxes.isEmpty())
        return;
    auto* filter = new SelectAllOnFocus(boxes.first());
    for (QLineEdit* box : boxes)
        box->installEventFilter(filter);
}

} // namespace LookAndFeel
