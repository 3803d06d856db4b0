#include "connection/ConnectionWindow.h"

#include "connection/Help.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/CursorFile.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "shell/ErrorTrap.h"
#include "shell/IsInstalled.h"
#include "shell/LookAndFeel.h"
#include "shell/Main.h"
#include "shell/Settings.h"
#include "shell/WindowFlow.h"
#include "sqlaccess/SqlServer.h"
#include "windows/TableWindow.h"

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

ConnectionWindow::ConnectionWindow(QWidget* parent) : ConnectionWindowLayout(parent)
{
    // Drivers write numbers with the C library (FreeTDS a sql_variant's float,
    // for one), which follows the locale: under German or Turkish rules 0.5
    // would arrive as "0,5". Qt's own formatting does not depend on this.
    std::setlocale(LC_NUMERIC, "C");
    WindowFlow::SetConnectionWindow(this);
    SqlServer::SetConnectionSettingsSource([this] { return connectionSettings(); });
    // Trusting a server is the user's decision; No is the answer of a box closed without one.
    SqlServer::SetTrustQuestion([](const QString& text) {
        return MsgBox::show(text, MsgBox::YesNo | MsgBox::Exclamation | MsgBox::SecondButtonDefault) == MsgBox::Yes;
    });

    connect(serverEdit, &QLineEdit::textChanged, this, &ConnectionWindow::serverChanged);
    connect(userEdit, &QLineEdit::textChanged, this, &ConnectionWindow::userChanged);
    connect(passwordEdit, &QLineEdit::textChanged, this, &ConnectionWindow::passwordChanged);
    connect(databaseEdit, &QLineEdit::textChanged, this, &ConnectionWindow::databaseChanged);
    connect(portEdit, &QLineEdit::textChanged, this, &ConnectionWindow::portChanged);
    // Clicks and changes made by code both count.
    connect(localConnectionBox, &QCheckBox::toggled, this, &ConnectionWindow::localConnectionClicked);
    connect(testConnectionButton, &QPushButton::clicked, this, [this] { testConnectionClicked(); });
    connect(nextButton, &QPushButton::clicked, this, [this] { nextClicked(); });
    connect(helpButton, &QPushButton::clicked, this, &ConnectionWindow::helpClicked);

    LookAndFeel::InstallHoverRules(pointer, {testConnectionButton, nextButton, helpButton},
        {this, loginBox, localConnectionBox, serverEdit, userEdit, passwordEdit, databaseEdit, portEdit},
        {userLabel, serverLabel, databaseLabel, passwordLabel, portLabel});
    LookAndFeel::InstallSelectAllOnFocus({serverEdit, userEdit, passwordEdit, databaseEdit, portEdit});

    m_startUp = load();
}

ConnectionWindow::~ConnectionWindow()
{
    SqlServer::SetConnectionSettingsSource(nullptr);
    SqlServer::SetTrustQuestion(nullptr);
    if (WindowFlow::ConnectionWindow() == this)
        WindowFlow::SetConnectionWindow(nullptr);
}

Async::Task<> ConnectionWindow::load()
{
    try {
        co_await tryStoredSettings();
        // The start-up window, unless start-up went straight on to the tables.
        if (!m_movedOn && !ProgramEnd::ended())
            show();
    } catch (const ProgramEnded&) {
        // Closed while the saved settings were being tried.
    }
}

Async::Task<> ConnectionWindow::tryStoredSettings()
{
    ErrorTrap trap(Locations::ConnectionWindowLoad);
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
    trap.step(126,
        [&] { localConnectionBox->setChecked(Settings::read(Settings::Key::LocalConnection) != QLatin1String("0")); });
    trap.step(128, [&] { serverEdit->setText(Settings::read(Settings::Key::Server)); });
    trap.step(130, [&] { userEdit->setText(Settings::read(Settings::Key::User)); });
    trap.step(132, [&] { passwordEdit->setText(Settings::read(Settings::Key::Password)); });
    trap.step(134, [&] { databaseEdit->setText(Settings::read(Settings::Key::Database)); });
    trap.step(136, [&] { portEdit->setText(Settings::read(Settings::Key::Port)); });
    if (trap.test(138, [&] { return !serverEdit->text().isEmpty(); })) {
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
            const Async::BusyFlag busy(m_connecting);
            // Nothing is asked before the window shows: a server the user has
            // not yet trusted gets no password, and the window waits for "Next >".
            connects = co_await SqlServer::TestConnection(nullptr, false);
            connects = trap.test(140, [&] { return connects; });
        }
        if (connects) {
            const std::exception_ptr failed = co_await Async::failureOf(nextClicked());
            trap.passed(142, failed);
        }
        pointer.setMousePointer(WindowPointer::Default);
        if (ProgramEnd::ended())
            co_return;
    }
    trap.step(144, [&] { showAsStarted(false); });
    trap.step(146, [] { IsInstalled::CheckExcelInstalled(); });
    qCDebug(lcStartup) << "start-up done";
}

void ConnectionWindow::showAsStarted(bool show)
{
    setWindowTitle(Main::ProductName);
    setWindowIcon(WindowFlow::ApplicationIcon());
    Main::ApplyApplicationTitle();
    if (show && !isVisible())
        this->show();
}

void ConnectionWindow::serverChanged()
{
    Settings::save(Settings::Key::Server, serverEdit->text());
}

void ConnectionWindow::userChanged()
{
    Settings::save(Settings::Key::User, userEdit->text());
}

void ConnectionWindow::passwordChanged()
{
    Settings::save(Settings::Key::Password, passwordEdit->text());
}

void ConnectionWindow::databaseChanged()
{
    Settings::save(Settings::Key::Database, databaseEdit->text());
}

void ConnectionWindow::portChanged()
{
    Settings::save(Settings::Key::Port, portEdit->text());
}

void ConnectionWindow::localConnectionClicked()
{
    Settings::save(
        Settings::Key::LocalConnection, localConnectionBox->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
}

ConnectionSettings ConnectionWindow::connectionSettings() const
{
    ConnectionSettings s;
    s.server = serverEdit->text();
    s.port = portEdit->text();
    s.user = userEdit->text();
    s.password = passwordEdit->text();
    s.database = databaseEdit->text();
    s.local = localConnectionBox->isChecked();
    return s;
}

Async::Task<> ConnectionWindow::testConnectionClicked()
{
    // A second press while a connection is being made is ignored.
    if (m_connecting)
        co_return;
    const Async::BusyFlag busy(m_connecting);
    try {
        co_await testConnection();
    } catch (const ProgramEnded&) { }
}

Async::Task<> ConnectionWindow::testConnection()
{
    // 100: the connection is made where it is opened, off the window's thread.
    // From here on a failure means "could not connect", told in our own words.
    bool failed = false;
    QString driverWords;
    try {
        pointer.setMousePointer(WindowPointer::Hourglass); // 102
        const ConnectionSettings settings = connectionSettings(); // 104: 106 local form, 108 with the port
        co_await SqlServer::Connect(settings); // and let go at once
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
        MsgBox::show(SqlServer::WithDriverWords(
                         QStringLiteral("Could not connect. Please check with your administrator."), driverWords),
            MsgBox::OkOnly); // 116
        pointer.setMousePointer(WindowPointer::Default); // 118
    }
}

Async::Task<> ConnectionWindow::nextClicked()
{
    if (m_connecting)
        co_return;
    const Async::BusyFlag busy(m_connecting);
    // The window answers while the server is asked; the hourglass says why nothing else happens yet.
    pointer.setMousePointer(WindowPointer::Hourglass);
    try {
        co_await moveOn();
    } catch (const ProgramEnded&) {
        co_return;
    }
    pointer.setMousePointer(WindowPointer::Default);
}

namespace {
/** The table window fills its list when it is first made; the list is asked for once a press either way. */
Async::Task<> listTables()
{
    if (TableWindow* tables = TableWindow::existing())
        co_await tables->refill();
    else
        co_await TableWindow::open();
}
} // namespace

Async::Task<> ConnectionWindow::moveOn()
{
    ErrorTrap trap(Locations::ConnectionWindowNext);
    QString driverWords;
    const bool connects = co_await SqlServer::TestConnection(&driverWords);
    if (trap.test(100, [&] { return connects; })) {
        const std::exception_ptr failed = co_await Async::failureOf(listTables());
        trap.passed(102, failed);
        trap.step(104, [] {
            if (!TableWindow::exists())
                throw quorvane::Error(91, QStringLiteral("Object variable not set"));
            TableWindow::existing()->show();
        });
        trap.step(106, [&] {
            hide();
            m_movedOn = true;
        });
    } else {
        trap.step(108, [&] {
            MsgBox::show(SqlServer::WithDriverWords(QStringLiteral("Could not connect."), driverWords), MsgBox::OkOnly);
        });
    }
}

void ConnectionWindow::helpClicked()
{
    Help::ShowConnectionHelp();
}

void ConnectionWindow::closeEvent(QCloseEvent* event)
{
    // Closing either page ends the program at once.
    event->ignore();
    TableWindow::abandonExport();
    ProgramEnd::now();
}
