#pragma once

#include "platform/skin/SkinFramework.h"
#include "sqlaccess/ConnectionSettings.h"
#include "windows/Form1Layout.h"

/**
 * The connection page and the program's start-up window. Its fields are the
 * only copy of the connection settings; every change is saved at once.
 * Creating it runs the start-up sequence.
 */
class Form1 : public Form1Layout {
    Q_OBJECT

public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    /** The start-up sequence. */
    void Form_Load();

    void Text6_Change();
    void Text7_Change();
    void Text8_Change();
    void Text9_Change();
    void Text10_Change();
    void Check6_Click();

    /** "Test Connection". */
    void PushButton1_Click();
    /** "Next >"; also carried out by the start-up sequence. */
    void PushButton2_Click();
    /** "Help". */
    void PushButton4_Click();

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
