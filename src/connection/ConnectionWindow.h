#pragma once

#include "platform/skin/SkinFramework.h"
#include "shell/Async.h"
#include "sqlaccess/ConnectionSettings.h"
#include "windows/ConnectionWindowLayout.h"

/**
 * The connection page and the program's start-up window. Its fields are the
 * only copy of the connection settings; every change is saved at once.
 * Creating it runs the start-up sequence.
 */
class ConnectionWindow : public ConnectionWindowLayout {
    Q_OBJECT

public:
    explicit ConnectionWindow(QWidget* parent = nullptr);
    ~ConnectionWindow() override;

    /** The start-up sequence; the constructor starts it. */
    Async::Task<> load();
    /** The start-up sequence the constructor started, to be awaited once by whoever drives the window. */
    Async::Task<>& startUp() { return m_startUp; }

    void serverChanged();
    void userChanged();
    void passwordChanged();
    void databaseChanged();
    void portChanged();
    void localConnectionClicked();

    /** "Test Connection". */
    Async::Task<> testConnectionClicked();
    /** "Next >"; also carried out by the start-up sequence. */
    Async::Task<> nextClicked();
    /** "Help". */
    void helpClicked();

    ConnectionSettings connectionSettings() const;

    /** True when the start-up sequence moved straight on to the table window. */
    bool movedOn() const { return m_movedOn; }

    SkinFramework SkinFramework1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Async::Task<> tryStoredSettings();
    Async::Task<> testConnection();
    Async::Task<> moveOn();
    /** Caption, icon and application title as start-up sets them; shows the window when asked. */
    void showAsStarted(bool show = true);

    Async::Task<> m_startUp;
    bool m_movedOn = false;
    /** A connection is being made for "Test Connection", "Next >" or start-up. */
    bool m_connecting = false;
};
