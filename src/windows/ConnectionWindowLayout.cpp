#include "windows/ConnectionWindowLayout.h"

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

ConnectionWindowLayout::ConnectionWindowLayout(QWidget* parent) : WizardWindow(QSize(Twips(8040), Twips(3975)), parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Setup Connections"));
    setFont(arial(9, false));
    SetBackground(this, Qt::white);

    loginBox = place<QGroupBox>(this, "Frame2", TwipsRect(120, 120, 7800, 3210));
    loginBox->setTitle(QStringLiteral("MS SQL Server Login"));
    loginBox->setFont(arial(9, true));
    loginBox->setFocusPolicy(Qt::NoFocus);
    SetBackground(loginBox, Qt::white);

    serverLabel = label(loginBox, "Label7", QStringLiteral("Server:"), TwipsRect(240, 405, 1095, 255));
    serverEdit = textBox(loginBox, "Text6", TwipsRect(1320, 360, 4575, 345));
    portLabel = label(loginBox, "Label10", QStringLiteral("Port:"), TwipsRect(6120, 405, 495, 255));
    portEdit = textBox(loginBox, "Text10", TwipsRect(6600, 360, 975, 345));
    userLabel = label(loginBox, "Label5", QStringLiteral("Username:"), TwipsRect(240, 885, 1095, 255));
    userEdit = textBox(loginBox, "Text7", TwipsRect(1320, 840, 6255, 345));
    passwordLabel = label(loginBox, "Label9", QStringLiteral("Password:"), TwipsRect(240, 1365, 1095, 255));
    passwordEdit = textBox(loginBox, "Text8", TwipsRect(1320, 1320, 6255, 345));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    passwordEdit->setAttribute(Qt::WA_InputMethodEnabled, false);
    databaseLabel = label(loginBox, "Label8", QStringLiteral("Database:"), TwipsRect(240, 1845, 975, 255));
    databaseEdit = textBox(loginBox, "Text9", TwipsRect(1320, 1800, 6255, 345));

    localConnectionBox = place<QCheckBox>(loginBox, "Check6", TwipsRect(1305, 2250, 1950, 255));
    localConnectionBox->setText(QStringLiteral("Local Connection"));
    localConnectionBox->setFont(arial(9, true));
    SetBackground(localConnectionBox, Qt::white);

    testConnectionButton
        = makeButton(loginBox, "PushButton1", QStringLiteral("Test Connection"), TwipsRect(240, 2640, 3600, 405));
    helpButton = makeButton(loginBox, "PushButton4", QStringLiteral("Help"), TwipsRect(3960, 2640, 3600, 405));
    nextButton = makeButton(this, "PushButton2", QStringLiteral("Next >"), TwipsRect(120, 3460, 7800, 405));

    // Each label names its field to a screen reader, as it is said: "Server", not "Server:".
    const std::pair<QLabel*, QLineEdit*> fields[] = {{serverLabel, serverEdit}, {portLabel, portEdit},
        {userLabel, userEdit}, {passwordLabel, passwordEdit}, {databaseLabel, databaseEdit}};
    for (auto [caption, field] : fields) {
        caption->setBuddy(field);
        QString spoken = caption->text().remove(QLatin1Char('&'));
        if (spoken.endsWith(QLatin1Char(':')))
            spoken.chop(1);
        field->setAccessibleName(spoken);
    }

    // Server, Port, Username, Password, Database, Local Connection, Test Connection, Help, Next >.
    QWidget* order[] = {serverEdit, portEdit, userEdit, passwordEdit, databaseEdit, localConnectionBox,
        testConnectionButton, helpButton, nextButton};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    serverEdit->setFocus();
}
