#pragma once

#include "platform/ui/MsgBox.h"
#include "shell/Async.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <optional>
#include <sys/resource.h>

/** Handles events until every handler's work is over (a test's whole export at most). */
void Settle();

/** Clicks the button and handles events until what it started is over. */
void Click(QWidget* button);

/** Handles events until the task is over, then answers its value or throws what it threw. */
template <class T>
T Wait(Async::Task<T> task)
{
    Settle();
    return task.result();
}

/**
 * Answers every message box without showing it and keeps what would have
 * been shown. Answers come from the queue, then the default (OK, or Yes for a
 * question unless told otherwise). A callback may look at the program while
 * the box is "open".
 */
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();

    QList<MsgBox::Record> boxes;
    QList<int> answers;
    int defaultAnswer = MsgBox::Ok;
    std::function<void(const MsgBox::Record&)> whileOpen;

    QStringList texts() const;
    int count() const { return boxes.size(); }
    void clear() { boxes.clear(); }
};

/** Records "end the program" instead of ending the test process. */
class EndRecorder {
public:
    EndRecorder();
    ~EndRecorder();
    int count = 0;
};

/**
 * A private settings folder ($XDG_CONFIG_HOME) for one test, optionally
 * filled with values first ("MSSQLServer" etc. as keys). Each one starts as a
 * new run would: no failed save has been reported yet, no keyring has failed.
 * No keyring answers either, so the password stays in the file, unless the
 * run has a keyring of its own (tests/support/with-keyring.sh): a test run by
 * hand on a desktop does not reach the user's.
 */
class TempSettings {
public:
    TempSettings();
    ~TempSettings();
    QString filePath() const;
    /** The folder that holds the settings file (it may not exist yet). */
    QString folder() const;
    void write(const QString& key, const QString& value);
    std::optional<QString> stored(const QString& key) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    std::optional<QByteArray> m_previousBus;
};

/**
 * A private home for one test: $HOME with an empty "Documents" folder, and
 * $XDG_CONFIG_HOME inside it, so that xdg-user-dir finds nothing configured
 * unless the test says so. The workbooks then go to Documents/Quorvane of
 * this home, never among the real user's documents. Both come back after.
 */
class PrivateHome {
public:
    PrivateHome();
    ~PrivateHome();
    QString path() const { return m_dir.path(); }
    /** Where workbooks go while no documents folder is configured. */
    QString workbookFolder() const { return path() + QStringLiteral("/Documents/Quorvane"); }
    /**
     * Configures the documents folder as the desktop does: the line
     * XDG_DOCUMENTS_DIR="<value>" in this home's user-dirs.dirs ("$HOME/..."
     * as the desktop writes it is fine).
     */
    void setDocumentsSetting(const QString& value);

private:
    QTemporaryDir m_dir;
    QByteArray m_previousHome;
    QByteArray m_previousConfig;
};

/**
 * A private application folder for one test, with none of the files that
 * the program looks for beside itself unless a test puts them there.
 */
class TempAppFolder {
public:
    TempAppFolder(const QString& name = QStringLiteral("app"));
    ~TempAppFolder();
    QString path() const { return m_path; }
    /** Copies a file of the project's assets folder (e.g. "HAND-M.CUR", "x/o.cjs") beside the program. */
    void addAsset(const QString& relative);
    void writeFile(const QString& relative, const QByteArray& content);

private:
    QTemporaryDir m_dir;
    QString m_path;
};

/**
 * A folder put first on PATH with stand-ins for the desktop's opener and
 * MIME query: xdg-open records its arguments, xdg-mime answers a spreadsheet
 * application (or nothing, when told so).
 */
class DesktopStandIns {
public:
    explicit DesktopStandIns(bool spreadsheetApplication = true);
    ~DesktopStandIns();
    /** One entry per xdg-open call: its arguments joined by newlines. */
    QStringList openCalls() const;
    /** Waits up to the given time for at least n calls to be recorded, handling events meanwhile. */
    bool waitForOpenCalls(int n, int milliseconds = 5000) const;
    QString folder() const { return m_dir.path(); }
    /** From now on xdg-open records its call and then exits with this status (4: "the action failed"). */
    void setOpenerExitStatus(int status);
    /** From now on there is no xdg-open to start: PATH holds only the stand-ins' folder. */
    void removeOpener();

private:
    void writeScript(const QString& name, const QByteArray& body);
    QByteArray openerScript(int status) const;
    QTemporaryDir m_dir;
    QByteArray m_previousPath;
};

/** Open descriptors of this process, as /proc/self/fd lists them. */
int OpenDescriptors();

/** Lowers the soft limit of open files for one test; the limit comes back after. */
class OpenFileLimit {
public:
    explicit OpenFileLimit(rlim_t soft);
    ~OpenFileLimit();

private:
    rlimit m_previous;
};

/**
 * Limits the size of the files this process writes, for one test: a write
 * beyond it fails with EFBIG (SIGXFSZ, which would end the process, is
 * ignored meanwhile). Limit and signal come back after.
 */
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();

private:
    rlimit m_previous;
    void (*m_previousHandler)(int);
};

/** How long the window's thread went without answering: a timer due every 10 ms notes each late tick. */
class Heartbeat {
public:
    Heartbeat()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_longest = std::max(m_longest, m_clock.restart()); });
        m_timer.start(10);
        m_clock.start();
    }
    /** The longest wait between two ticks so far, in milliseconds, counting the one still going on. */
    qint64 longestGap() const { return std::max(m_longest, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};
