#include "windows/Form1Layout.h"

#include "platform/ui/Background.h"
#include "windows/Twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <utility>

namespace {
template <class W>
W* place(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* widget = new W(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* label(QWidget* frame, const char* name, const QString& caption, const QRect& geometry)
{
    auto* l = place<QLabel>(frame, name, geometry);
    l->setText(caption);
    l->setTextFormat(Qt::PlainText);
    l->setFont(WizardWindow::arial(9, true));
    l->setFocusPolicy(Qt::NoFocus);
    SetBackground(l, Qt::white);
    return l;
}

QLineEdit* textBox(QWidget* frame, const char* name, const QRect& geometry)
{
    auto* t = place<QLineEdit>(frame, name, geometry);
    t->setFont(WizardWindow::arial(9, true));
    t->setMaxLength(32767);
    return t;
}

} // namespace

Form1Layout::Form1Layout(QWidget* parent) : WizardWindow(QSize(Twips(8040), Twips(3975)), parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Setup Connections"));
    setFont(arial(9, false));
    SetBackground(this, Qt::white);

    Frame2 = place<QGroupBox>(this, "Frame2", TwipsRect(120, 120, 7800, 3210));
    Frame2->setTitle(QStringLiteral("MS SQL Server Login"));
    Frame2->setFont(arial(9, true));
    Frame2->setFocusPolicy(Qt::NoFocus);
    SetBackground(Frame2, Qt::white);

    Label7 = label(Frame2, "Label7", QStringLiteral("Server:"), TwipsRect(240, 405, 1095, 255));
    Text6 = textBox(Frame2, "Text6", TwipsRect(1320, 360, 4575, 345));
    Label10 = label(Frame2, "Label10", QStringLiteral("Port:"), TwipsRect(6120, 405, 495, 255));
    Text10 = textBox(Frame2, "Text10", TwipsRect(6600, 360, 975, 345));
    Label5 = label(Frame2, "Label5", QStringLiteral("Username:"), TwipsRect(240, 885, 1095, 255));
    Text7 = textBox(Frame2, "Text7", TwipsRect(1320, 840, 6255, 345));
    Label9 = label(Frame2, "Label9", QStringLiteral("Password:"), TwipsRect(240, 1365, 1095, 255));
    Text8 = textBox(Frame2, "Text8", TwipsRect(1320, 1320, 6255, 345));
    Text8->setEchoMode(QLineEdit::Password);
    Text8->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    Text8->setAttribute(Qt::WA_InputMethodEnabled, false);
    Label8 = label(Frame2, "Label8", QStringLiteral("Database:"), TwipsRect(240, 1845, 975, 255));
    Text9 = textBox(Frame2, "Text9", TwipsRect(1320, 1800, 6255, 345));

    Check6 = place<QCheckBox>(Frame2, "Check6", TwipsRect(1305, 2250, 1950, 255));
    Check6->setText(QStringLiteral("Local Connection"));
    Check6->setFont(arial(9, true));
    SetBackground(Check6, Qt::white);

    PushButton1 = makeButton(Frame2, "PushButton1", QStringLiteral("Test Connection"), TwipsRect(240, 2640, 3600, 405));
    PushButton4 = makeButton(Frame2, "PushButton4", QStringLiteral("Help"), TwipsRect(3960, 2640, 3600, 405));
    PushButton2 = makeButton(this, "PushButton2", QStringLiteral("Next >"), TwipsRect(120, 3460, 7800, 405));

    // Each label names its field to a screen reader, as it is said: "Server", not "Server:".
    const std::pair<QLabel*, QLineEdit*> fields[]
        = {{Label7, Text6}, {Label10, Text10}, {Label5, Text7}, {Label9, Text8}, {Label8, Text9}};
    for (auto [caption, field] : fields) {
        caption->setBuddy(field);
        QString spoken = caption->text().remove(QLatin1Char('&'));
        if (spoken.endsWith(QLatin1Char(':')))
            spoken.chop(1);
        field->setAccessibleName(spoken);
    }

    // Server, Port, Username, Password, Database, Local Connection, Test Connection, Help, Next >.
    QWidget* order[] = {Text6, Text10, Text7, Text8, Text9, Check6, PushButton1, PushButton4, PushButton2};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    Text6->setFocus();
}
