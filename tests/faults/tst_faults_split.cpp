// The splitter driven through its buttons while things go wrong: each case
// checks what the user is told, that no file changed that should not have,
// and that nothing stray (temporary file, descriptor) is left behind.

#include "app/appstate.h"
#include "faultfixture.h"
#include "scripteddialogs.h"
#include "split/splithandlers.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowcontrols.h"

#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString warning = QStringLiteral("警告！");
const QString information = QStringLiteral("信息：");

QByteArray sourceBytes()
{
    // About 120 KiB of Chinese and ASCII with CRLF line ends.
    return QStringLiteral("第一行中文，mixed ASCII 123\r\n第二行：分割测试。\r\n").repeated(2000).toUtf8();
}

QByteArray gb18030(const QString& text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}

}  // namespace

class SplitFaultsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void diskFillsMidWrite_data();
    void diskFillsMidWrite();
    void noPermission_data();
    void noPermission();
    void sourceGoneOrReplacedAfterChoosing_data();
    void sourceGoneOrReplacedAfterChoosing();
    void pathIsNoRegularFile_data();
    void pathIsNoRegularFile();
    void linkedSourceSplits_data();
    void linkedSourceSplits();
    void partPathIsTheSource_data();
    void partPathIsTheSource();
    void awkwardNames_data();
    void awkwardNames();
    void awkwardContents_data();
    void awkwardContents();
    void twoSplitsIntoOneFolder();
    void windowClosedWhileSplitting();

private:
    void choose(const QString& path);
    void split(const QString& folder, int parts);
    void expectWarning(const QStringList& mentions);
    void expectSplit(const QString& folder, int parts, const QByteArray& content);
    void expectNoDescriptorLeft();

    std::unique_ptr<MainWindow> window_;
    std::shared_ptr<ScriptedDialogs> dialogs_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString source_;
    QString folder_;
    int descriptors_ = 0;
};

void SplitFaultsTest::initTestCase()
{
    // Qt opens what it needs (fonts, the platform) the first time a window shows.
    initAppState();
    MainWindow window;
    window.show();
    QTest::qWait(10);
}

void SplitFaultsTest::init()
{
    initAppState();
    dialogs_ = installScriptedDialogs();
    window_ = std::make_unique<MainWindow>();
    window_->show();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(setMode(dir_->path(), 0755));  // "nobody" must reach what a case gives it
    source_ = dir_->filePath("source.txt");
    QVERIFY(writeBytes(source_, sourceBytes()));
    folder_ = dir_->filePath("out");
    QVERIFY(QDir().mkdir(folder_));
    QVERIFY(setMode(folder_, 0777));
    descriptors_ = openDescriptorCount();
}

void SplitFaultsTest::cleanup()
{
    finishRunningSplits();
    QCOMPARE(dialogs_->unexpected, 0);
    appState().currentFile = FileHandle();
    window_.reset();
    setDialogs(nullptr);
    dir_.reset();
}

void SplitFaultsTest::choose(const QString& path)
{
    dialogs_->oneFileAnswers.push_back(path);
    QTest::mouseClick(controls().选择单个分割文件按钮, Qt::LeftButton);
}

void SplitFaultsTest::split(const QString& folder, int parts)
{
    dialogs_->folderAnswers.push_back(folder);
    controls().分割文本文件份数填写框->setText(QString::number(parts));
    QTest::mouseClick(controls().文本分割按扭, Qt::LeftButton);
}

// One warning, naming each of `mentions` (a file and why), and no completion.
void SplitFaultsTest::expectWarning(const QStringList& mentions)
{
    QVERIFY(dialogs_->waitForMessages(1));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, warning);
    for (const QString& mention : mentions)
        QVERIFY2(messages[0].text.contains(mention), qPrintable(messages[0].text + " lacks " + mention));
}

// The completion message, and parts 1 ... N that put together are `content`.
void SplitFaultsTest::expectSplit(const QString& folder, int parts, const QByteArray& content)
{
    QVERIFY(dialogs_->waitForMessages(1));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, information);
    QCOMPARE(messages[0].text, QStringLiteral("当前需要分割的文件已经成功的分割为%1份！").arg(parts));
    FolderSnapshot expected;
    QByteArray joined;
    const FolderSnapshot now = snapshot(folder);
    for (int i = 1; i <= parts; ++i) {
        const QByteArray name = QByteArray::number(i) + ".txt";
        QVERIFY2(now.value(name).startsWith("file:"), name.constData());
        joined += now.value(name).mid(5);
        expected[name] = now.value(name);
    }
    QCOMPARE(joined, content);
    QCOMPARE(now, expected);  // nothing else: no temporary left
}

// Once the source is dropped, the process holds what it held before the case.
void SplitFaultsTest::expectNoDescriptorLeft()
{
    appState().currentFile = FileHandle();
    QCOMPARE(openDescriptorCount(), descriptors_);
}

void SplitFaultsTest::diskFillsMidWrite_data()
{
    QTest::addColumn<bool>("smallFileSystem");
    QTest::addColumn<int>("parts");
    QTest::addColumn<QString>("failingPart");
    QTest::addColumn<QString>("reason");
    // 120 KiB into 2 parts: the first already passes a 16 KiB limit.
    QTest::newRow("file size limit") << false << 2 << "1.txt" << "文件超出了允许的大小";
    // Into 4 parts of 30 KiB on 64 KiB: the first fits, the second does not.
    QTest::newRow("64 KiB file system") << true << 4 << "2.txt" << "磁盘空间不足";
}

void SplitFaultsTest::diskFillsMidWrite()
{
    QFETCH(bool, smallFileSystem);
    QFETCH(int, parts);
    QFETCH(QString, failingPart);
    QFETCH(QString, reason);
    std::unique_ptr<SmallTmpfs> disk;
    QString folder = folder_;
    if (smallFileSystem) {
        disk = std::make_unique<SmallTmpfs>(64);
        if (!disk->ok())
            QSKIP(qPrintable(disk->why()));
        folder = disk->path();
    }
    QVERIFY(writeBytes(folder + "/1.txt", "earlier part one"));
    QVERIFY(writeBytes(folder + "/3.txt", "earlier part three"));
    QVERIFY(writeBytes(folder + "/notes.txt", "not a part"));
    const FolderSnapshot before = snapshot(folder);
    choose(source_);
    {
        ScopedFileSizeLimit limit(smallFileSystem ? RLIM_INFINITY : 16 << 10);
        QVERIFY(limit.ok());
        split(folder, parts);
        expectWarning({folder + "/" + failingPart, reason});
    }
    QCOMPARE(snapshot(folder), before);
    QCOMPARE(readBytes(source_), sourceBytes());
    expectNoDescriptorLeft();
}

void SplitFaultsTest::noPermission_data()
{
    QTest::addColumn<QString>("denied");
    QTest::addColumn<QString>("namedFile");  // relative to the case's folder
    QTest::newRow("source not readable") << "source" << "../source.txt";
    QTest::newRow("folder read-only") << "folder read-only" << "1.txt";
    QTest::newRow("folder not open to others") << "folder closed" << "1.txt";
    // A shared folder (sticky, like /tmp): another user's 2.txt cannot be
    // replaced, so the set cannot be put in place and the renamed 1.txt goes back.
    QTest::newRow("another user's part in a shared folder") << "sticky" << "2.txt";
}

void SplitFaultsTest::noPermission()
{
    QFETCH(QString, denied);
    QFETCH(QString, namedFile);
    QVERIFY(writeBytes(folder_ + "/1.txt", "earlier one, nobody's"));
    QVERIFY(writeBytes(folder_ + "/2.txt", "earlier two, root's"));
    QVERIFY(giveTo(folder_ + "/1.txt", 65534, 65534));
    if (denied == "source")
        QVERIFY(setMode(source_, 0600));
    else if (denied == "folder read-only")
        QVERIFY(setMode(folder_, 0555));
    else if (denied == "folder closed")
        QVERIFY(setMode(folder_, 0700));
    else
        QVERIFY(setMode(folder_, 01777));
    const FolderSnapshot before = snapshot(folder_);
    {
        ScopedUnprivileged nobody;
        QVERIFY(nobody.ok());
        choose(source_);
        split(folder_, 3);
        expectWarning({QDir::cleanPath(folder_ + "/" + namedFile), "没有访问权限"});
    }
    QCOMPARE(snapshot(folder_), before);
    QCOMPARE(readBytes(source_), sourceBytes());
    expectNoDescriptorLeft();
}

void SplitFaultsTest::sourceGoneOrReplacedAfterChoosing_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::newRow("deleted") << false;
    QTest::newRow("replaced by another file") << true;
}

// The source is held open from the moment it is chosen: what the user chose
// is what gets split, whatever happened to its name since.
void SplitFaultsTest::sourceGoneOrReplacedAfterChoosing()
{
    QFETCH(bool, replaced);
    choose(source_);
    if (replaced) {
        const QString other = dir_->filePath("other.txt");
        QVERIFY(writeBytes(other, "another file entirely"));
        QCOMPARE(::rename(raw(other).constData(), raw(source_).constData()), 0);
    } else {
        QVERIFY(QFile::remove(source_));
    }
    split(folder_, 3);
    expectSplit(folder_, 3, sourceBytes());
    if (replaced)
        QCOMPARE(readBytes(source_), QByteArray("another file entirely"));
    else
        QVERIFY(!pathInfo(source_).exists);
    expectNoDescriptorLeft();
}

void SplitFaultsTest::pathIsNoRegularFile_data()
{
    QTest::addColumn<bool>("asSource");  // else as the destination folder
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("source is a folder") << true << "folder" << "这是一个文件夹，不是文件";
    QTest::newRow("source is a FIFO") << true << "fifo" << "这不是普通文件";
    QTest::newRow("source is /dev/null") << true << "/dev/null" << "这不是普通文件";
    QTest::newRow("source is /dev/zero") << true << "/dev/zero" << "这不是普通文件";
    QTest::newRow("source is a dangling link") << true << "dangling" << "不存在";
    QTest::newRow("folder is a file") << false << "file" << "不是文件夹";
    QTest::newRow("folder is a FIFO") << false << "fifo" << "不是文件夹";
    QTest::newRow("folder is /dev/null") << false << "/dev/null" << "不是文件夹";
    QTest::newRow("folder is a dangling link") << false << "dangling" << "不存在";
}

void SplitFaultsTest::pathIsNoRegularFile()
{
    QFETCH(bool, asSource);
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QString path = dir_->filePath("odd");
    if (kind.startsWith("/dev/"))
        path = kind;
    else if (kind == "folder")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "fifo")
        QVERIFY(makeFifo(path));
    else if (kind == "dangling")
        QVERIFY(makeLink(dir_->filePath("nothing here"), path));
    else
        QVERIFY(writeBytes(path, "a file, not a folder"));
    const FolderSnapshot before = snapshot(dir_->path());
    // A FIFO nobody writes to must not block either step.
    choose(asSource ? path : source_);
    split(asSource ? folder_ : path, 2);
    expectWarning({path, reason});
    QCOMPARE(snapshot(dir_->path()), before);
    expectNoDescriptorLeft();
}

void SplitFaultsTest::linkedSourceSplits_data()
{
    QTest::addColumn<bool>("symbolic");
    QTest::newRow("symbolic link to the source") << true;
    QTest::newRow("source with two hard links") << false;
}

void SplitFaultsTest::linkedSourceSplits()
{
    QFETCH(bool, symbolic);
    const QString link = dir_->filePath("link.txt");
    QVERIFY(symbolic ? makeLink(source_, link) : makeHardLink(source_, link));
    choose(link);
    split(folder_, 4);
    expectSplit(folder_, 4, sourceBytes());
    QCOMPARE(pathInfo(link).isLink, symbolic);
    QCOMPARE(pathInfo(source_).links, nlink_t(symbolic ? 1 : 2));
    QCOMPARE(readBytes(link), sourceBytes());
    expectNoDescriptorLeft();
}

void SplitFaultsTest::partPathIsTheSource_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("namedPart");
    QTest::newRow("1.txt is a symbolic link to the source") << "symbolic" << "1.txt";
    QTest::newRow("2.txt is a hard link to the source") << "hard" << "2.txt";
    QTest::newRow("source is 1.txt, folder reached through a link") << "folder link" << "1.txt";
}

// Refused before anything is written: writing part 1 would destroy the source.
void SplitFaultsTest::partPathIsTheSource()
{
    QFETCH(QString, how);
    QFETCH(QString, namedPart);
    QString source = source_;
    QString folder = folder_;
    if (how == "symbolic") {
        QVERIFY(makeLink(source_, folder_ + "/1.txt"));
    } else if (how == "hard") {
        QVERIFY(makeHardLink(source_, folder_ + "/2.txt"));
    } else {
        source = folder_ + "/1.txt";
        QVERIFY(writeBytes(source, sourceBytes()));
        folder = dir_->filePath("alias");
        QVERIFY(makeLink(folder_, folder));
    }
    QVERIFY(writeBytes(folder_ + "/3.txt", "earlier three"));
    const FolderSnapshot before = snapshot(folder_);
    choose(source);
    split(folder, 3);
    expectWarning({folder + "/" + namedPart, "就是要分割的文件本身"});
    QCOMPARE(snapshot(folder_), before);
    QCOMPARE(readBytes(source), sourceBytes());
    expectNoDescriptorLeft();
}

void SplitFaultsTest::awkwardNames_data()
{
    QTest::addColumn<QByteArray>("sourceName");
    QTest::addColumn<QByteArray>("folderName");
    QTest::addColumn<bool>("works");
    QTest::newRow("spaces") << QByteArray("my notes 2024.txt") << QByteArray("split parts") << true;
    QTest::newRow("Chinese") << QString("中文 文件名.txt").toUtf8() << QString("输出 目录").toUtf8() << true;
    QTest::newRow("leading dashes") << QByteArray("-n 2.txt") << QByteArray("--output") << true;
    // Qt shows such a name with U+FFFD, which leads back to another name: the
    // user is told why the file cannot be used instead of "missing".
    QTest::newRow("source name not UTF-8") << QByteArray("\xff\xfe.txt") << QByteArray("out2") << false;
    QTest::newRow("folder name not UTF-8") << QByteArray("plain.txt") << QByteArray("\xff dir") << false;
}

void SplitFaultsTest::awkwardNames()
{
    QFETCH(QByteArray, sourceName);
    QFETCH(QByteArray, folderName);
    QFETCH(bool, works);
    const QByteArray top = raw(dir_->path());
    // QTemporaryDir cannot remove what Qt cannot name.
    const auto removeRaw = qScopeGuard([&] {
        ::unlink((top + '/' + sourceName).constData());
        ::rmdir((top + '/' + folderName).constData());
    });
    QVERIFY(writeRaw(top + '/' + sourceName, sourceBytes()));
    QCOMPARE(::mkdir((top + '/' + folderName).constData(), 0777), 0);
    // What a file dialog would hand over for these names.
    const QString source = QFile::decodeName(top + '/' + sourceName);
    const QString folder = QFile::decodeName(top + '/' + folderName);
    choose(source);
    split(folder, 3);
    if (works) {
        expectSplit(folder, 3, sourceBytes());
    } else {
        const bool badSource = QFile::encodeName(QFile::decodeName(sourceName)) != sourceName;
        expectWarning({badSource ? source : folder, "无法识别"});
        QVERIFY(snapshotRaw(top + '/' + folderName).isEmpty());
    }
    QCOMPARE(snapshotRaw(top).value(sourceName), "file:" + sourceBytes());
    expectNoDescriptorLeft();
}

void SplitFaultsTest::awkwardContents_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("parts");
    QTest::newRow("zero bytes") << QByteArray("a\0\0b\0c\0\0", 9) << 3;
    QTest::newRow("a lone CR") << QByteArray("\r") << 2;
    QTest::newRow("lone CRs between text") << QByteArray("ab\rcd\r\ref\r") << 4;
    QTest::newRow("UTF-8 cut short at the end") << QByteArray("中文字\xe4\xb8") << 2;
    QTest::newRow("GB18030 cut short at the end") << gb18030("中文字符") + '\xd6' << 3;
}

void SplitFaultsTest::awkwardContents()
{
    QFETCH(QByteArray, content);
    QFETCH(int, parts);
    QVERIFY(writeBytes(source_, content));
    choose(source_);
    split(folder_, parts);
    expectSplit(folder_, parts, content);
    expectNoDescriptorLeft();
}

// A second click while a split runs is told to wait; the folder ends up with
// the first split's set, complete, and nothing of the second.
void SplitFaultsTest::twoSplitsIntoOneFolder()
{
    QVERIFY(writeBytes(folder_ + "/1.txt", "earlier one"));
    QVERIFY(writeBytes(folder_ + "/4.txt", "earlier four"));
    choose(source_);
    split(folder_, 3);
    split(folder_, 2);
    QVERIFY(dialogs_->waitForMessages(2));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages[0].title, warning);
    QVERIFY2(messages[0].text.contains("请等待"), qPrintable(messages[0].text));
    QCOMPARE(messages[1].text, QStringLiteral("当前需要分割的文件已经成功的分割为3份！"));
    const FolderSnapshot now = snapshot(folder_);
    QCOMPARE(now.keys(), (QList<QByteArray>{"1.txt", "2.txt", "3.txt", "4.txt"}));
    QCOMPARE(now["1.txt"].mid(5) + now["2.txt"].mid(5) + now["3.txt"].mid(5), sourceBytes());
    QCOMPARE(now["4.txt"], QByteArray("file:earlier four"));
    // The folder browser was asked once only; the refused click left its answer unused.
    QCOMPARE(dialogs_->folderTitles.size(), 1);
    dialogs_->folderAnswers.clear();
    expectNoDescriptorLeft();
}

// Closing the window stops the split and waits for it: the folder holds what
// it held before, with no temporary, and no message comes afterwards.
void SplitFaultsTest::windowClosedWhileSplitting()
{
    QVERIFY(writeBytes(folder_ + "/1.txt", "earlier one"));
    QVERIFY(writeBytes(folder_ + "/2.txt", "earlier two"));
    const FolderSnapshot before = snapshot(folder_);
    choose(source_);
    // Many parts keep the split busy well past the close.
    split(folder_, 50000);
    window_->close();
    finishRunningSplits();  // what the program does once its window is closed
    QCOMPARE(snapshot(folder_), before);
    QTest::qWait(100);
    QVERIFY(dialogs_->messages().isEmpty());
    expectNoDescriptorLeft();
}

QTEST_MAIN(SplitFaultsTest)
#include "tst_faults_split.moc"
