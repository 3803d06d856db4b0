#include "connection/Form1.h"

#include "connection/Help.h"
#include "export/Form2.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/CursorFile.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "shell/ErrorTrap.h"
#include "shell/IsInstalled.h"
#include "shell/LookAndFeel.h"
#include "shell/Main.h"
#include "shell/Settings.h"
#include "shell/Waiting.h"
#include "shell/WindowFlow.h"
#include "sqlaccess/MSSQL.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTimer>
#include <clocale>

// What start-up found beside the program; QT_LOGGING_RULES="quorvane.startup.debug=true" shows it.
Q_LOGGING_CATEGORY(lcStartup, "quorvane.startup", QtWarningMsg)

Form1::Form1(QWidget* parent) : Form1Layout(parent)
{
    // Drivers write numbers with the C library (FreeTDS a sql_variant's float,
    // for one), which follows the locale: under German or Turkish rules 0.5
    // would arrive as "0,5". Qt's own formatting does not depend on this.
    std::setlocale(LC_NUMERIC, "C");
    WindowFlow::SetConnectionWindow(this);
    MSSQL::SetConnectionSettingsSource([this] { return connectionSettings(); });
    // Trusting a server is the user's decision; No is the answer of a box closed without one.
    MSSQL::SetTrustQuestion([](const QString& text) {
        return MsgBox::show(text, MsgBox::YesNo | MsgBox::Exclamation | MsgBox::SecondButtonDefault) == MsgBox::Yes;
    });

    connect(Text6, &QLineEdit::textChanged, this, &Form1::Text6_Change);
    connect(Text7, &QLineEdit::textChanged, this, &Form1::Text7_Change);
    connect(Text8, &QLineEdit::textChanged, this, &Form1::Text8_Change);
    connect(Text9, &QLineEdit::textChanged, this, &Form1::Text9_Change);
    connect(Text10, &QLineEdit::textChanged, this, &Form1::Text10_Change);
    // Clicks and changes made by code both count.
    connect(Check6, &QCheckBox::toggled, this, &Form1::Check6_Click);
    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);

    LookAndFeel::InstallHoverRules(pointer, {PushButton1, PushButton2, PushButton4},
        {this, Frame2, Check6, Text6, Text7, Text8, Text9, Text10}, {Label5, Label7, Label8, Label9, Label10});
    LookAndFeel::InstallSelectAllOnFocus({Text6, Text7, Text8, Text9, Text10});

    Form_Load();
}

Form1::~Form1()
{
    MSSQL::SetConnectionSettingsSource(nullptr);
    MSSQL::SetTrustQuestion(nullptr);
    if (WindowFlow::ConnectionWindow() == this)
        WindowFlow::SetConnectionWindow(nullptr);
}

void Form1::Form_Load()
{
    try {
        startUp();
    } catch (const ProgramEnded&) {
        // Closed while the saved settings were being tried.
    }
}

void Form1::startUp()
{
    ErrorTrap trap(Locations::Form1Load);
    trap.step(104, [&] {
        LookAndFeel::SetupSkin(this, SkinFramework1);
        if (!SkinFramework1.calls().isEmpty())
            qCDebug(lcStartup) << "skin applied from" << qPrintable(LookAndFeel::SkinFilePath());
    });
    if (trap.test(122, [] { return Main::FileExists(LookAndFeel::HandCursorPath()); }))
        trap.step(124, [&] {
            pointer.setMouseIcon(LoadCursorFile(LookAndFeel::HandCursorPath()));
            qCDebug(lcStartup) << "hand cursor loaded from" << qPrintable(LookAndFeel::HandCursorPath());
        });
    trap.step(126, [&] { Check6->setChecked(Settings::read(Settings::Key::LocalConnection) != QLatin1String("0")); });
    trap.step(128, [&] { Text6->setText(Settings::read(Settings::Key::Server)); });
    trap.step(130, [&] { Text7->setText(Settings::read(Settings::Key::User)); });
    trap.step(132, [&] { Text8->setText(Settings::read(Settings::Key::Password)); });
    trap.step(134, [&] { Text9->setText(Settings::read(Settings::Key::Database)); });
    trap.step(136, [&] { Text10->setText(Settings::read(Settings::Key::Port)); });
    if (trap.test(138, [&] { return !Text6->text().isEmpty(); })) {
        // A server that is slow to answer, or never does, gets the window
        // shown meanwhile, answering and ready to be closed or changed.
        QTimer showWhileWaiting;
        showWhileWaiting.setSingleShot(true);
        connect(&showWhileWaiting, &QTimer::timeout, this, [this] {
            if (!m_movedOn)
                showAsStarted();
        });
        showWhileWaiting.start(300);
        pointer.setMousePointer(WindowPointer::Hourglass);
        bool connects = false;
        {
            BusyGuard busy(m_connecting);
            // Nothing is asked before the window shows: a server the user has
            // not yet trusted gets no password, and the window waits for "Next >".
            connects = trap.test(140, [&] { return MSSQL::TestMSSQLConnection(nullptr, false); });
        }
        if (connects)
            trap.step(142, [&] { PushButton2_Click(); });
        pointer.setMousePointer(WindowPointer::Default);
        if (ProgramEnd::ended())
            return;
    }
    trap.step(144, [&] { showAsStarted(false); });
    trap.step(146, [] { IsInstalled::CheckExcelInstalled(); });
    qCDebug(lcStartup) << "start-up done";
}

void Form1::showAsStarted(bool show)
{
    setWindowTitle(Main::ProductName);
    setWindowIcon(WindowFlow::ApplicationIcon());
    Main::ApplyApplicationTitle();
    if (show && !isVisible())
        this->show();
}

void Form1::Text6_Change()
{
    Settings::save(Settings::Key::Server, Text6->text());
}

void Form1::Text7_Change()
{
    Settings::save(Settings::Key::User, Text7->text());
}

void Form1::Text8_Change()
{
    Settings::save(Settings::Key::Password, Text8->text());
}

void Form1::Text9_Change()
{
    Settings::save(Settings::Key::Database, Text9->text());
}

void Form1::Text10_Change()
{
    Settings::save(Settings::Key::Port, Text10->text());
}

void Form1::Check6_Click()
{
    Settings::save(Settings::Key::LocalConnection, Check6->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
}

ConnectionSettings Form1::connectionSettings() const
{
    ConnectionSettings s;
    s.server = Text6->text();
    s.port = Text10->text();
    s.user = Text7->text();
    s.password = Text8->text();
    s.database = Text9->text();
    s.local = Check6->isChecked();
    return s;
}

void Form1::PushButton1_Click()
{
    // A second press while a connection is being made is ignored.
    if (m_connecting)
        return;
    BusyGuard busy(m_connecting);
    try {
        testConnection();
    } catch (const ProgramEnded&) { }
}

void Form1::testConnection()
{
    // 100: the connection is made where it is opened, off the window's thread.
    // From here on a failure means "could not connect", told in our own words.
    bool failed = false;
    QString driverWords;
    try {
        pointer.setMousePointer(WindowPointer::Hourglass); // 102
        const ConnectionSettings settings = connectionSettings(); // 104: 106 local form, 108 with the port
        MSSQL::Connect(settings); // and let go at once
        MsgBox::show(QStringLiteral("Connection successful."), MsgBox::OkOnly); // 110
        pointer.setMousePointer(WindowPointer::Default); // 112
    } catch (const ProgramEnded&) {
        throw;
    } catch (const quorvane::Error& e) {
        failed = true;
        driverWords = e.description();
    } catch (...) {
        failed = true;
    }
    if (failed) { // 114
        MsgBox::show(MSSQL::WithDriverWords(
                         QStringLiteral("Could not connect. Please check with your administrator."), driverWords),
            MsgBox::OkOnly); // 116
        pointer.setMousePointer(WindowPointer::Default); // 118
    }
}

void Form1::PushButton2_Click()
{
    if (m_connecting)
        return;
    BusyGuard busy(m_connecting);
    // The window answers while the server is asked; the hourglass says why nothing else happens yet.
    pointer.setMousePointer(WindowPointer::Hourglass);
    try {
        moveOn();
    } catch (const ProgramEnded&) {
        return;
    }
    pointer.setMousePointer(WindowPointer::Default);
}

void Form1::moveOn()
{
    ErrorTrap trap(Locations::Form1Next);
    QString driverWords;
    if (trap.test(100, [&] { return MSSQL::TestMSSQLConnection(&driverWords); })) {
        // The table window fills its list when it is first made; the list is
        // asked for once a press either way.
        trap.step(102, [] {
            if (Form2::exists())
                MSSQL::AddTablesToMSSQLListbox(Form2::instance().ListView1);
            else
                Form2::instance();
        });
        trap.step(104, [] { Form2::instance().show(); });
        trap.step(106, [&] {
            hide();
            m_movedOn = true;
        });
    } else {
        trap.step(108, [&] {
            MsgBox::show(MSSQL::WithDriverWords(QStringLiteral("Could not connect."), driverWords), MsgBox::OkOnly);
        });
    }
}

void Form1::PushButton4_Click()
{
    Help::ShowConnectionHelp();
}

void Form1::closeEvent(QCloseEvent* event)
{
    // Closing either page ends the program at once.
    event->ignore();
    Form2::abandonExport();
    ProgramEnd::now();
}
