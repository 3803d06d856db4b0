#include "Seams.h"

#include "platform/keyring/Keyring.h"
#include "shell/Settings.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/** What the store meets when the user types: what stands at its path or in its folder's place, or a full disk. */
enum class Situation {
    Nothing,
    OwnFileReadableByAll,
    OwnReadOnlyFile,
    Folder,
    LinkToAnotherFile,
    Fifo,
    AnotherUsersFile,
    FolderIsAFile,
    ReadOnlyFolder,
    DiskFull,
};

/** Sets the umask for one test and puts the previous one back however the test ends. */
class Umask {
public:
    explicit Umask(mode_t mask) : m_previous(::umask(mask)) { }
    ~Umask() { ::umask(m_previous); }

private:
    mode_t m_previous;
};

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

/**
 * Everything about what stands at a path that a save could change; empty when
 * nothing stands there. A folder's times change with any file made and removed
 * in it, so its listing (see tree) stands for them.
 */
QList<qint64> look(const QString& path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return {};
    QList<qint64> seen{qint64(st.st_mode), qint64(st.st_uid), qint64(st.st_ino)};
    if (S_ISDIR(st.st_mode))
        return seen;
    QFile file(path);
    const bool readable = S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly);
    seen << qint64(st.st_size) << qint64(st.st_mtim.tv_sec) << qint64(st.st_mtim.tv_nsec)
         << (readable ? qint64(qHash(file.readAll())) : -1);
    return seen;
}

/** What stands at every path under a folder, without following links. */
QMap<QString, QList<qint64>> tree(const QString& root)
{
    QMap<QString, QList<qint64>> seen;
    QDirIterator it(
        root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        seen.insert(path, look(path));
    }
    return seen;
}

int modeOf(const QString& path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

void writeFile(const QString& path, const QByteArray& content, mode_t mode)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    QCOMPARE(::chmod(native(path).constData(), mode), 0);
}

/** Each character typed into a box after what it holds saves the whole text, as the connection window does. */
void type(Settings::Key key, const QString& text, QString typed = QString())
{
    for (QChar c : text) {
        typed += c;
        Settings::save(key, typed);
    }
}

/** Whether this run has a keyring of its own, which tests/support/with-keyring.sh gives it. */
bool privateKeyring()
{
    return qgetenv("QUORVANE_PRIVATE_KEYRING") == "1";
}

const QStringList KeyringEntry = {"user", "MSSQLPassword", "server", "Quorvane"};

/** The program's keyring entry, as secret-tool finds it by the attributes QtKeychain stores; nothing without one. */
std::optional<QString> keyringEntry()
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"), QStringList{"lookup"} + KeyringEntry + QStringList{"type", "plaintext"});
    if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tool.readAllStandardOutput());
}

/** The keyring's own words for what keeps it from answering in this run. */
QString keyringFailureWords()
{
    return Keyring::read(QStringLiteral("Quorvane"), QStringLiteral("MSSQLPassword")).words;
}

/** The password an earlier run left in the file (null: none), and what the user types after it. */
void addPasswordRows()
{
    QTest::addColumn<QString>("inFile");
    QTest::addColumn<QString>("typed");
    QTest::newRow("typed into an empty store") << QString() << QStringLiteral("pw1");
    QTest::newRow("an earlier run's, kept as it is") << QStringLiteral("old pw") << QString();
    QTest::newRow("typed after an earlier run's") << QStringLiteral("old") << QStringLiteral("er");
}

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void defaultsWhenAbsent()
    {
        TempSettings store;
        QCOMPARE(Settings::read(Settings::Key::Server), QString());
        QCOMPARE(Settings::read(Settings::Key::Port), QStringLiteral("1433"));
        QCOMPARE(Settings::read(Settings::Key::LocalConnection), QStringLiteral("0"));
        QVERIFY(!QFileInfo::exists(store.filePath()));
    }

    void valuesRoundTripExactly_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("spaces and punctuation") << QStringLiteral("  p@ss; w=rd,\"'{}[]%20#!  ");
        QTest::newRow("non-ASCII letters") << QStringLiteral("Ünïcødé密码пароль");
        QTest::newRow("backslash and named instance") << QStringLiteral("localhost\\SQLEXPRESS");
        QTest::newRow("empty, not the default") << QString();
    }

    void valuesRoundTripExactly()
    {
        QFETCH(QString, value);
        TempSettings store;
        BoxRecorder boxes; // without a keyring, the password kept in the file is told
        Settings::save(Settings::Key::Password, value);
        QCOMPARE(Settings::read(Settings::Key::Password), value);
        Settings::save(Settings::Key::Port, value);
        QCOMPARE(Settings::read(Settings::Key::Port), value);
    }

    void savingInEverySituation_data()
    {
        QTest::addColumn<Situation>("situation");
        QTest::addColumn<QString>("reason"); // empty: the save goes through
        QTest::addColumn<QString>("readBack"); // a link, a fifo or another user's file is not read either
        QTest::newRow("nothing yet: a private file") << Situation::Nothing << QString() << QStringLiteral("srv");
        QTest::newRow("the user's file, readable by all")
            << Situation::OwnFileReadableByAll << QString() << QStringLiteral("srv");
        QTest::newRow("the user's read-only file")
            << Situation::OwnReadOnlyFile << systemWords(EACCES) << QStringLiteral("theirs");
        QTest::newRow("a folder") << Situation::Folder << systemWords(EISDIR) << QString();
        QTest::newRow("a link to another file")
            << Situation::LinkToAnotherFile << QStringLiteral("Is a symbolic link") << QString();
        QTest::newRow("a fifo") << Situation::Fifo << QStringLiteral("Not a regular file") << QString();
        QTest::newRow("another user's file")
            << Situation::AnotherUsersFile << QStringLiteral("Owned by another user") << QString();
        QTest::newRow("a file in the folder's place") << Situation::FolderIsAFile << systemWords(ENOTDIR) << QString();
        QTest::newRow("a read-only folder") << Situation::ReadOnlyFolder << systemWords(EACCES) << QString();
        QTest::newRow("a disk that takes no more") << Situation::DiskFull << systemWords(EFBIG) << QString();
    }

    /**
     * Typing goes on whatever stands at the path. The user's own file is made
     * private and takes the value; what cannot take it is left exactly as it
     * was, and the failure is told once, naming the file.
     */
    void savingInEverySituation()
    {
        QFETCH(Situation, situation);
        QFETCH(QString, reason);
        QFETCH(QString, readBack);
        const bool root = ::geteuid() == 0;
        TempSettings store;
        BoxRecorder boxes;
        Umask umask(022);
        const QString file = store.filePath();
        const QString folder = store.folder();
        const QString top = QFileInfo(folder).absolutePath();
        const QString elsewhere = top + QStringLiteral("/elsewhere.ini");
        const QByteArray otherSettings = "[Quorvane]\nMSSQLServer=theirs\nMSSQLUser=sa\n";
        if (situation != Situation::FolderIsAFile && situation != Situation::Nothing)
            QVERIFY(QDir().mkpath(folder));
        switch (situation) {
        case Situation::Nothing:
            break;
        case Situation::OwnFileReadableByAll:
            writeFile(file, otherSettings, 0644);
            break;
        case Situation::OwnReadOnlyFile:
            if (root)
                QSKIP("root writes into a read-only file");
            writeFile(file, otherSettings, 0400);
            break;
        case Situation::Folder:
            QCOMPARE(::mkdir(native(file).constData(), 0755), 0);
            break;
        case Situation::LinkToAnotherFile:
            writeFile(elsewhere, otherSettings, 0644);
            QCOMPARE(::symlink(native(elsewhere).constData(), native(file).constData()), 0);
            break;
        case Situation::Fifo:
            QCOMPARE(::mkfifo(native(file).constData(), 0644), 0);
            break;
        case Situation::AnotherUsersFile:
            if (!root)
                QSKIP("only root can give a file to another user");
            writeFile(file, otherSettings, 0644);
            QCOMPARE(::chown(native(file).constData(), 65534, 65534), 0);
            break;
        case Situation::FolderIsAFile:
            writeFile(folder, "not a folder", 0644);
            break;
        case Situation::ReadOnlyFolder:
            if (root)
                QSKIP("root writes into a read-only folder");
            QCOMPARE(::chmod(native(folder).constData(), 0500), 0);
            break;
        case Situation::DiskFull:
            break;
        }
        const QMap<QString, QList<qint64>> before = tree(top);

        {
            std::optional<FileSizeLimit> full;
            if (situation == Situation::DiskFull)
                full.emplace(16);
            type(Settings::Key::Server, QStringLiteral("srv"));
        }
        const QString read = Settings::read(Settings::Key::Server);
        const QMap<QString, QList<qint64>> after = tree(top);
        if (situation == Situation::ReadOnlyFolder)
            ::chmod(native(folder).constData(), 0700); // lets the temporary folder go
        QCOMPARE(read, readBack);

        if (reason.isEmpty()) {
            QCOMPARE(boxes.count(), 0);
            QVERIFY(QFileInfo(file).isFile() && !QFileInfo(file).isSymLink());
            QCOMPARE(modeOf(file), 0600);
            if (situation == Situation::OwnFileReadableByAll)
                QCOMPARE(store.stored("MSSQLUser"), std::optional<QString>("sa"));
            return;
        }
        QCOMPARE(boxes.texts(), QStringList({"The settings could not be saved to " + file + ": " + reason + "."}));
        QCOMPARE(boxes.boxes.first().style, int(MsgBox::OkOnly));
        QCOMPARE(after, before);
    }

    void passwordInTheKeyring_data() { addPasswordRows(); }

    /** With a keyring the file no longer holds the password; one from an earlier run moves over. */
    void passwordInTheKeyring()
    {
        QFETCH(QString, inFile);
        QFETCH(QString, typed);
        if (!privateKeyring())
            QSKIP("runs with a keyring of its own, as shell/settings_keyring");
        QProcess::execute(QStringLiteral("secret-tool"), QStringList{"clear"} + KeyringEntry);
        TempSettings store;
        BoxRecorder boxes;
        store.write("MSSQLUser", "sa");
        if (!inFile.isNull())
            store.write("MSSQLPassword", inFile);

        QCOMPARE(Settings::read(Settings::Key::Password), inFile);
        QCOMPARE(store.stored("MSSQLPassword"), std::nullopt); // moved at start, before anything is saved
        type(Settings::Key::Password, typed, inFile);

        QCOMPARE(keyringEntry(), std::optional<QString>(inFile + typed));
        QCOMPARE(store.stored("MSSQLPassword"), std::nullopt);
        QCOMPARE(store.stored("MSSQLUser"), std::optional<QString>("sa"));
        QCOMPARE(boxes.count(), 0);
    }

    void passwordInTheFileWithoutAKeyring_data() { addPasswordRows(); }

    /**
     * Without a keyring the password stays in the private file, and the first
     * password typed there tells so, once: one that stood there already does not.
     */
    void passwordInTheFileWithoutAKeyring()
    {
        QFETCH(QString, inFile);
        QFETCH(QString, typed);
        if (privateKeyring())
            QSKIP("runs without a keyring, as shell/settings");
        TempSettings store;
        BoxRecorder boxes;
        if (!inFile.isNull())
            store.write("MSSQLPassword", inFile);

        // As the connection window does at start: the password read into its box, which saves it back.
        QCOMPARE(Settings::read(Settings::Key::Password), inFile);
        Settings::save(Settings::Key::Password, inFile);
        type(Settings::Key::Password, typed, inFile);

        QCOMPARE(store.stored("MSSQLPassword"), std::optional<QString>(inFile + typed));
        QCOMPARE(modeOf(store.filePath()), 0600);
        const QString notice = "The desktop's keyring could not store the password (" + keyringFailureWords()
            + "), so it is kept in " + store.filePath() + ", readable by you only.";
        QCOMPARE(boxes.texts(), typed.isEmpty() ? QStringList() : QStringList{notice});
        for (const MsgBox::Record& box : boxes.boxes)
            QCOMPARE(std::pair(box.style, box.caption), std::pair(int(MsgBox::Exclamation), MsgBox::defaultCaption()));
    }

    void aFailureIsToldAgainAfterASaveThatWorked()
    {
        TempSettings store;
        BoxRecorder boxes;
        QVERIFY(QDir().mkpath(store.filePath()));
        type(Settings::Key::Server, QStringLiteral("ab"));
        QCOMPARE(boxes.count(), 1);
        QVERIFY(QDir().rmdir(store.filePath()));
        type(Settings::Key::Server, QStringLiteral("cd"));
        QCOMPARE(boxes.count(), 1);
        QVERIFY(QFile::remove(store.filePath()));
        QVERIFY(QDir().mkpath(store.filePath()));
        type(Settings::Key::Server, QStringLiteral("ef"));
        QCOMPARE(boxes.count(), 2);
        QCOMPARE(boxes.texts().last(), boxes.texts().first());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
