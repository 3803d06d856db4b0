#pragma once

#include "Seams.h"
#include "TestOdbc.h"

#include "connection/ConnectionWindow.h"
#include "windows/TableWindow.h"

#include <memory>

/**
 * Everything a test of the real windows needs: a private ODBC registration
 * of the SQLite driver as "SQL Server", a private settings folder, an empty
 * application folder, message boxes answered, "end the program" recorded and
 * a desktop that has a spreadsheet application (a stand-in that records what
 * it is asked to open), a private runtime and cache folder, and a private
 * home with a Documents folder, where the workbooks go.
 */
class Wizard {
public:
    explicit Wizard(bool spreadsheetApplication = true);
    ~Wizard();

    /** First, so that the settings folder below takes over $XDG_CONFIG_HOME. */
    PrivateHome home;
    TestOdbc odbc;
    TempSettings settings;
    TempAppFolder appFolder;
    BoxRecorder boxes;
    EndRecorder end;
    DesktopStandIns desktop;

    /** $XDG_RUNTIME_DIR of this wizard: nothing of the program's should ever be in it. */
    QString runtimeFolder() const { return m_runtime.path(); }
    /** Where this wizard's workbooks go: the "Quorvane" folder among its private home's documents. */
    QString workbookFolder() const { return home.workbookFolder(); }

    /** A fixture database with a few tables; created once per wizard. */
    QString standardDatabase();
    /** Stores settings that connect to the given database file. */
    void storeConnectingSettings(const QString& databasePath);
    /** Stores every connection setting as given. */
    void storeSettings(const ConnectionSettings& connection);

    /** Creates the connection window, which runs the start-up sequence. */
    ConnectionWindow& start();
    ConnectionWindow* connectionWindow() { return m_connectionWindow.get(); }
    TableWindow* tableWindow() { return TableWindow::existing(); }

    static QStringList listTexts(const TableWindow& window);

private:
    QTemporaryDir m_runtime;
    QTemporaryDir m_cache;
    QByteArray m_previousRuntime;
    QByteArray m_previousCache;
    std::unique_ptr<ConnectionWindow> m_connectionWindow;
    QString m_standard;
};
