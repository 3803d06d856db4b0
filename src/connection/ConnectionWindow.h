#pragma once

#include "platform/skin/SkinFramework.h"
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

    /** The start-up sequence. */
    void load();

    void serverChanged();
    void userChanged();
    void passwordChanged();
    void databaseChanged();
    void portChanged();
    void localConnectionClicked();

    /** "Test Connection". */
    void testConnectionClicked();
    /** "Next >"; also carried out by the start-up sequence. */
    void nextClicked();
    /** "Help". */
    void helpClicked();

    ConnectionSettings connectionSettings() const;

    /** True when the start-up sequence moved straight on to the table window. */
    bool movedOn() const { return m_movedOn; }

    SkinFramework SkinFramework1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void startUp();
    void testConnection();
    void moveOn();
    /** Caption, icon and application title as start-up sets them; shows the window when asked. */
    void showAsStarted(bool show = true);

    /** Sets a flag for as long as it lives. */
    class BusyGuard {
    public:
        explicit BusyGuard(bool& flag) : m_flag(flag) { flag = true; }
        ~BusyGuard() { m_flag = false; }
        BusyGuard(const BusyGuard&) = delete;
        BusyGuard& operator=(const BusyGuard&) = delete;

    private:
        bool& m_flag;
    };

    bool m_movedOn = false;
    /** A connection is being made for "Test Connection", "Next >" or start-up. */
    bool m_connecting = false;
};
