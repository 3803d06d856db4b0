#include "Seams.h"

#include "shell/Settings.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
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

/** Each character typed into the server box saves the whole text, as the connection window does. */
void typeServer(const QString& text)
{
    QString typed;
    for (QChar c : text) {
        typed += c;
        Settings::save(Settings::Key::Server, typed);
    }
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
            typeServer(QStringLiteral("srv"));
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

    void aFailureIsToldAgainAfterASaveThatWorked()
    {
        TempSettings store;
        BoxRecorder boxes;
        QVERIFY(QDir().mkpath(store.filePath()));
        typeServer(QStringLiteral("ab"));
        QCOMPARE(boxes.count(), 1);
        QVERIFY(QDir().rmdir(store.filePath()));
        typeServer(QStringLiteral("cd"));
        QCOMPARE(boxes.count(), 1);
        QVERIFY(QFile::remove(store.filePath()));
        QVERIFY(QDir().mkpath(store.filePath()));
        typeServer(QStringLiteral("ef"));
        QCOMPARE(boxes.count(), 2);
        QCOMPARE(boxes.texts().last(), boxes.texts().first());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
