// The replacer driven through its buttons while things go wrong: each case
// checks what the user is told, that every file holds what it should byte for
// byte, and that nothing stray (temporary file, descriptor) is left behind.

#include "app/appstate.h"
#include "faultfixture.h"
#include "scripteddialogs.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowcontrols.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

const QString warning = QStringLiteral("警告！");
const QString information = QStringLiteral("信息：");
const QString success = QStringLiteral("当前需要替换文本的文件已经成功替换！");
const QString failedHeader = QStringLiteral("以下文件未能替换，内容保持原样：");

QByteArray gb18030(const QString& text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}

// Scripted dialogs that also let a case act while the run is under way, as
// another program would: the hook sees each progress label.
class HookedDialogs : public ScriptedDialogs {
public:
    std::function<void(const Text& label)> onProgress;

    std::unique_ptr<ProgressReport> showProgress(const Text& title, bool modal, bool cancellable) override;
};

class HookedProgress : public ProgressReport {
public:
    HookedProgress(std::unique_ptr<ProgressReport> inner, HookedDialogs& owner)
        : inner_(std::move(inner)), owner_(owner)
    {
    }
    void setProgress(std::int64_t done, std::int64_t total, const Text& label) override
    {
        inner_->setProgress(done, total, label);
        if (owner_.onProgress)
            owner_.onProgress(label);
    }
    [[nodiscard]] bool wasCanceled() const override { return inner_->wasCanceled(); }

private:
    std::unique_ptr<ProgressReport> inner_;
    HookedDialogs& owner_;
};

std::unique_ptr<ProgressReport> HookedDialogs::showProgress(const Text& title, bool modal, bool cancellable)
{
    return std::make_unique<HookedProgress>(ScriptedDialogs::showProgress(title, modal, cancellable), *this);
}

}  // namespace

class ReplaceFaultsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void diskFillsMidWrite_data();
    void diskFillsMidWrite();
    void noPermission_data();
    void noPermission();
    void fileGoneOrReplaced_data();
    void fileGoneOrReplaced();
    void pathIsNoRegularFile_data();
    void pathIsNoRegularFile();
    void linksStayWhatTheyAre_data();
    void linksStayWhatTheyAre();
    void awkwardNames_data();
    void awkwardNames();
    void awkwardContents_data();
    void awkwardContents();
    void tenThousandFilesInOneRun();
    void sameFilePickedTwice_data();
    void sameFilePickedTwice();

private:
    void choose(const TextList& paths);
    void replace(const QString& target, const QString& replacement);
    void expectSuccess();
    void expectFailed(const QString& path, const QString& reason, const QStringList& notListed);
    void expectNothingStray();

    std::unique_ptr<MainWindow> window_;
    std::shared_ptr<HookedDialogs> dialogs_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString good_;  // a file beside the troubled one in each run: it must be replaced
    // The system's temporary folder for this test alone, where a file rewritten
    // in place is prepared: others' files there cannot blur what is left.
    QTemporaryDir systemTemporary_;
    int descriptors_ = 0;
};

void ReplaceFaultsTest::initTestCase()
{
    QVERIFY(systemTemporary_.isValid());
    QVERIFY(setMode(systemTemporary_.path(), 01777));
    qputenv("TMPDIR", QFile::encodeName(systemTemporary_.path()));
    QCOMPARE(QDir::tempPath(), systemTemporary_.path());
    // Qt opens what it needs (fonts, the platform) the first time a window shows.
    initAppState();
    MainWindow window;
    window.show();
    QTest::qWait(10);
}

void ReplaceFaultsTest::init()
{
    initAppState();
    dialogs_ = std::make_shared<HookedDialogs>();
    setDialogs(dialogs_);
    window_ = std::make_unique<MainWindow>();
    window_->show();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(setMode(dir_->path(), 0777));  // "nobody" must reach what a case gives it
    good_ = dir_->filePath("good.txt");
    QVERIFY(writeBytes(good_, "xa-xa"));
    QVERIFY(setMode(good_, 0666));
    descriptors_ = openDescriptorCount();
}

void ReplaceFaultsTest::cleanup()
{
    QCOMPARE(dialogs_->unexpected, 0);
    window_.reset();
    releaseAppState();
    setDialogs(nullptr);
    dir_.reset();
}

void ReplaceFaultsTest::choose(const TextList& paths)
{
    dialogs_->fileListAnswers.push_back(paths);
    QTest::mouseClick(controls().文本替换选择文件按钮, Qt::LeftButton);
}

void ReplaceFaultsTest::replace(const QString& target, const QString& replacement)
{
    controls().替换文本目标文字填写框->setText(target);
    controls().替换文本填写框->setText(replacement);
    controls().区分大小写选择框->setChecked(true);
    QTest::mouseClick(controls().文本替换按扭, Qt::LeftButton);
}

void ReplaceFaultsTest::expectSuccess()
{
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, information);
    QCOMPARE(messages[0].text, success);
}

// One warning that lists `path` with `reason` and none of `notListed`; no completion.
void ReplaceFaultsTest::expectFailed(const QString& path, const QString& reason, const QStringList& notListed)
{
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, warning);
    QVERIFY2(messages[0].text.startsWith(failedHeader), qPrintable(messages[0].text));
    const QString line = path + QStringLiteral("：");
    QVERIFY2(messages[0].text.contains(line), qPrintable(messages[0].text + " lacks " + path));
    const QString listed = messages[0].text.mid(messages[0].text.indexOf(line) + line.size()).section("\r\n", 0, 0);
    QVERIFY2(listed.contains(reason), qPrintable(listed + " lacks " + reason));
    for (const QString& other : notListed)
        QVERIFY2(!messages[0].text.contains(other + QStringLiteral("：")), qPrintable(messages[0].text));
}

void ReplaceFaultsTest::expectNothingStray()
{
    QCOMPARE(temporariesIn(dir_->path()), QStringList());
    QCOMPARE(temporariesIn(systemTemporary_.path()), QStringList());
    QCOMPARE(openDescriptorCount(), descriptors_);
}

void ReplaceFaultsTest::diskFillsMidWrite_data()
{
    QTest::addColumn<QString>("disk");
    QTest::addColumn<QString>("reason");
    // 64 KiB growing to 112 KiB under a 32 KiB limit.
    QTest::newRow("file size limit") << "limit" << "文件超出了允许的大小";
    // 36 KiB growing to 63 KiB: the new copy does not fit beside the old one.
    QTest::newRow("64 KiB file system") << "tmpfs" << "磁盘空间不足";
    // Two hard links, so rewritten in place: 16 KiB growing to 28 KiB. The new
    // copy and the backup of the old fit (15 of 16 pages); growing the file
    // itself does not, so the old content has to be put back.
    QTest::newRow("64 KiB file system, rewritten in place") << "tmpfs in place" << "磁盘空间不足";
}

void ReplaceFaultsTest::diskFillsMidWrite()
{
    QFETCH(QString, disk);
    QFETCH(QString, reason);
    std::unique_ptr<SmallTmpfs> small;
    QString folder = dir_->filePath("full");
    if (disk == "limit") {
        QVERIFY(QDir().mkdir(folder));
    } else {
        small = std::make_unique<SmallTmpfs>(64);
        if (!small->ok())
            QSKIP(qPrintable(small->why()));
        folder = small->path();
    }
    const QString bad = folder + "/big.txt";
    const QByteArray content = QByteArray("xaaa").repeated(disk == "limit" ? 16384 : disk == "tmpfs" ? 9216 : 4096);
    QVERIFY(writeBytes(bad, content));
    if (disk == "tmpfs in place")
        QVERIFY(makeHardLink(bad, folder + "/other name.txt"));
    const FolderSnapshot before = snapshot(folder);
    const PathInfo identity = pathInfo(bad);
    choose({bad, good_});
    {
        ScopedFileSizeLimit limit(disk == "limit" ? 32 << 10 : RLIM_INFINITY);
        QVERIFY(limit.ok());
        replace("x", "xyyy");
    }
    expectFailed(bad, reason, {good_});
    QCOMPARE(snapshot(folder), before);
    QCOMPARE(pathInfo(bad).inode, identity.inode);
    QCOMPARE(readBytes(good_), QByteArray("xyyya-xyyya"));
    expectNothingStray();
}

void ReplaceFaultsTest::noPermission_data()
{
    QTest::addColumn<mode_t>("fileMode");
    QTest::addColumn<mode_t>("folderMode");
    QTest::newRow("file not readable") << mode_t(0000) << mode_t(0777);
    QTest::newRow("read-only file in a read-only folder") << mode_t(0444) << mode_t(0555);
    QTest::newRow("folder not open to others") << mode_t(0666) << mode_t(0700);
}

void ReplaceFaultsTest::noPermission()
{
    QFETCH(mode_t, fileMode);
    QFETCH(mode_t, folderMode);
    const QString folder = dir_->filePath("locked");
    QVERIFY(QDir().mkdir(folder));
    const QString bad = folder + "/a.txt";
    QVERIFY(writeBytes(bad, "xxx"));
    QVERIFY(setMode(bad, fileMode));
    QVERIFY(setMode(folder, folderMode));
    const FolderSnapshot before = snapshot(folder);
    choose({good_, bad});
    {
        ScopedUnprivileged nobody;
        QVERIFY(nobody.ok());
        replace("x", "y");
    }
    expectFailed(bad, "没有访问权限", {good_});
    QCOMPARE(snapshot(folder), before);
    QCOMPARE(readBytes(good_), QByteArray("ya-ya"));
    expectNothingStray();
}

void ReplaceFaultsTest::fileGoneOrReplaced_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("deleted after choosing") << "deleted";
    QTest::newRow("replaced by another after choosing") << "replaced";
    QTest::newRow("replaced between reading and renaming") << "during";
}

// The file at the path when the run reaches it is the one rewritten; one
// that another program replaces after it was read is left as that program
// made it, and the user is told.
void ReplaceFaultsTest::fileGoneOrReplaced()
{
    QFETCH(QString, when);
    const QString path = dir_->filePath("a.txt");
    const QString other = dir_->filePath("other.txt");
    QVERIFY(writeBytes(path, "x chosen"));
    QVERIFY(writeBytes(other, "x from another program"));
    auto swap = [&] { return ::rename(raw(other).constData(), raw(path).constData()) == 0; };
    // A long file after it keeps the run busy while the first waits for its rename.
    QTemporaryDir slowFolder;
    const QString slow = slowFolder.filePath("long.txt");
    if (!makeSparse(slow, std::int64_t{1} << 30, {{0, "no target in here"}}))
        QSKIP("this file system does not keep sparse files");
    choose({path, slow, good_});
    bool swapped = false;
    if (when == "deleted")
        QVERIFY(QFile::remove(path));
    else if (when == "replaced")
        QVERIFY(swap());
    else
        dialogs_->onProgress = [&](const Text& label) {
            if (!swapped && label.contains(slow))
                swapped = swap();
        };
    replace("x", "y");
    dialogs_->onProgress = nullptr;
    if (when == "deleted") {
        expectFailed(path, "不存在", {good_, slow});
        QVERIFY(!pathInfo(path).exists);
    } else if (when == "replaced") {
        expectSuccess();
        QCOMPARE(readBytes(path), QByteArray("y from another program"));
    } else {
        QVERIFY2(swapped, "the run never reached the long file");
        expectFailed(path, "文件在处理期间被其他程序改动", {good_, slow});
        QCOMPARE(readBytes(path), QByteArray("x from another program"));
    }
    QCOMPARE(readBytes(good_), QByteArray("ya-ya"));
    QCOMPARE(temporariesIn(slowFolder.path()), QStringList());
    expectNothingStray();
}

void ReplaceFaultsTest::pathIsNoRegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder") << "folder" << "这是一个文件夹，不是文件";
    QTest::newRow("FIFO") << "fifo" << "这不是普通文件";
    QTest::newRow("/dev/null") << "/dev/null" << "这不是普通文件";
    QTest::newRow("/dev/zero") << "/dev/zero" << "这不是普通文件";
    QTest::newRow("dangling link") << "dangling" << "不存在";
}

// Listed with a clear reason, nothing changed, and no hang on a FIFO nobody writes to.
void ReplaceFaultsTest::pathIsNoRegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QString path = dir_->filePath("odd.txt");
    if (kind.startsWith("/dev/"))
        path = kind;
    else if (kind == "folder")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "fifo")
        QVERIFY(makeFifo(path));
    else
        QVERIFY(makeLink(dir_->filePath("nothing here"), path));
    const FolderSnapshot before = snapshot(dir_->path());
    const PathInfo identity = pathInfo(path);
    choose({path, good_});
    replace("x", "y");
    expectFailed(path, reason, {good_});
    QCOMPARE(pathInfo(path).inode, identity.inode);
    FolderSnapshot expected = before;
    expected["good.txt"] = "file:ya-ya";
    QCOMPARE(snapshot(dir_->path()), expected);
    expectNothingStray();
}

void ReplaceFaultsTest::linksStayWhatTheyAre_data()
{
    QTest::addColumn<bool>("symbolic");
    QTest::newRow("symbolic link to the file") << true;
    QTest::newRow("file with two hard links") << false;
}

void ReplaceFaultsTest::linksStayWhatTheyAre()
{
    QFETCH(bool, symbolic);
    const QString real = dir_->filePath("real.txt");
    QVERIFY(QDir().mkdir(dir_->filePath("links")));
    const QString link = dir_->filePath("links/link.txt");
    QVERIFY(writeBytes(real, "x marks the spot"));
    QVERIFY(symbolic ? makeLink(real, link) : makeHardLink(real, link));
    const PathInfo identity = pathInfo(real);
    choose({link, good_});
    replace("x", "y");
    expectSuccess();
    QCOMPARE(readBytes(real), QByteArray("y marks the spot"));
    QCOMPARE(readBytes(link), QByteArray("y marks the spot"));
    QCOMPARE(pathInfo(link).isLink, symbolic);
    if (!symbolic) {
        // Rewritten in place: one file with two names still.
        QCOMPARE(pathInfo(real).inode, identity.inode);
        QCOMPARE(pathInfo(link).inode, identity.inode);
        QCOMPARE(pathInfo(real).links, nlink_t(2));
    }
    QCOMPARE(temporariesIn(dir_->filePath("links")), QStringList());
    expectNothingStray();
}

void ReplaceFaultsTest::awkwardNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("works");
    QTest::newRow("spaces") << QByteArray("my notes 2024.txt") << true;
    QTest::newRow("Chinese") << QString("中文 文件名.txt").toUtf8() << true;
    QTest::newRow("leading dashes") << QByteArray("--in-place -e.txt") << true;
    // Qt shows such a name with U+FFFD, which leads back to another name: the
    // user is told why the file cannot be used instead of "missing".
    QTest::newRow("name not UTF-8") << QByteArray("\xff\xfe.txt") << false;
}

void ReplaceFaultsTest::awkwardNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, works);
    const QByteArray path = raw(dir_->path()) + '/' + name;
    // QTemporaryDir cannot remove what Qt cannot name.
    const auto removeRaw = qScopeGuard([&] { ::unlink(path.constData()); });
    QVERIFY(writeRaw(path, "x in a file with an odd name"));
    const QString shown = QFile::decodeName(path);  // what a file dialog hands over
    choose({shown, good_});
    replace("x", "y");
    if (works) {
        expectSuccess();
        QCOMPARE(snapshotRaw(raw(dir_->path())).value(name), QByteArray("file:y in a file with an odd name"));
    } else {
        expectFailed(shown, "无法识别", {good_});
        QCOMPARE(snapshotRaw(raw(dir_->path())).value(name), QByteArray("file:x in a file with an odd name"));
    }
    QCOMPARE(readBytes(good_), QByteArray("ya-ya"));
    expectNothingStray();
}

void ReplaceFaultsTest::awkwardContents_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("zero bytes") << QByteArray("a\0b\0\0a", 6) << "a" << "xy" << QByteArray("xy\0b\0\0xy", 8);
    QTest::newRow("a lone CR") << QByteArray("\r") << "a" << "b" << QByteArray("\r");
    QTest::newRow("lone CRs between text") << QByteArray("a\rb\r\rb") << "b" << "c" << QByteArray("a\rc\r\rc");
    // Not valid UTF-8, so read as GB18030: ASCII still matches, the rest stays.
    QTest::newRow("UTF-8 cut short at the end")
        << QByteArray("中文ab\xe4\xb8") << "ab" << "AB" << QByteArray("中文AB\xe4\xb8");
    QTest::newRow("GB18030 cut short at the end")
        << gb18030("中文ab") + '\xd6' << "文" << "字" << gb18030("中字ab") + '\xd6';
    QTest::newRow("UTF-16LE with an odd last byte")
        << QByteArray("\xff\xfe" "a\0b\0c", 7) << "b" << "x" << QByteArray("\xff\xfe" "a\0x\0c", 7);
}

void ReplaceFaultsTest::awkwardContents()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, target);
    QFETCH(QString, replacement);
    QFETCH(QByteArray, expected);
    const QString path = dir_->filePath("a.txt");
    QVERIFY(writeBytes(path, content));
    const PathInfo identity = pathInfo(path);
    choose({path});
    replace(target, replacement);
    expectSuccess();
    QCOMPARE(readBytes(path), expected);
    if (expected == content)
        QCOMPARE(pathInfo(path).inode, identity.inode);  // nothing to replace: not rewritten
    expectNothingStray();
}

void ReplaceFaultsTest::tenThousandFilesInOneRun()
{
    constexpr int count = 10000;
    const QString folder = dir_->filePath("many");
    QVERIFY(QDir().mkdir(folder));
    TextList paths;
    QList<ino_t> inodes;
    for (int i = 0; i < count; ++i) {
        paths << folder + QStringLiteral("/%1.txt").arg(i);
        // Every other file holds the target; the rest must not be touched at all.
        QVERIFY(writeBytes(paths.last(), i % 2 ? QByteArray::number(i) + " old" : QByteArray::number(i)));
        inodes << pathInfo(paths.last()).inode;
    }
    choose(paths);
    replace("old", "new");
    expectSuccess();
    for (int i = 0; i < count; ++i) {
        const QByteArray expected = i % 2 ? QByteArray::number(i) + " new" : QByteArray::number(i);
        QCOMPARE(readBytes(paths[i]), expected);
        if (i % 2 == 0)
            QCOMPARE(pathInfo(paths[i]).inode, inodes[i]);
    }
    QCOMPARE(snapshot(folder).size(), count);
    expectNothingStray();
}

void ReplaceFaultsTest::sameFilePickedTwice_data()
{
    QTest::addColumn<bool>("throughALink");
    QTest::newRow("the same path twice") << false;
    QTest::newRow("a path and a link to it") << true;
}

// A file listed twice gets two turns, as two clicks would give it: the second
// starts from what the first wrote, so the result is that of replacing twice,
// never a mix of the two.
void ReplaceFaultsTest::sameFilePickedTwice()
{
    QFETCH(bool, throughALink);
    const QString path = dir_->filePath("a.txt");
    QVERIFY(writeBytes(path, "a-b-a"));
    QString second = path;
    if (throughALink) {
        second = dir_->filePath("link.txt");
        QVERIFY(makeLink(path, second));
    }
    choose({path, good_, second});
    // The replacement holds the target: replacing once more shows.
    replace("a", "aa");
    expectSuccess();
    QCOMPARE(readBytes(path), QByteArray("aaaa-b-aaaa"));
    QCOMPARE(readBytes(good_), QByteArray("xaa-xaa"));
    expectNothingStray();
}

QTEST_MAIN(ReplaceFaultsTest)
#include "tst_faults_replace.moc"
