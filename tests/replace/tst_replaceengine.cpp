#include "replace/matcher.h"
#include "replace/replaceengine.h"

#include "services/encoding.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray gbk(const QString& text)
{
    return encodeText(text, Encoding::Gb18030);
}

QByteArray utf16(const QString& text, bool littleEndian)
{
    QByteArray bytes = littleEndian ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (const QChar c : text) {
        const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
        bytes += littleEndian ? QByteArray{&lo, 1} + QByteArray{&hi, 1} : QByteArray{&hi, 1} + QByteArray{&lo, 1};
    }
    return bytes;
}

struct stat statOf(const QString& path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info;
}

// Sets the modification time well into the past, so that a rewrite would show.
void ageFile(const QString& path)
{
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
}

FileResult replaceOne(const QString& path, const ReplaceRequest& request, ReplaceLimits limits = {})
{
    ReplaceBatch batch(limits);
    batch.replaceInFile(path, request);
    batch.flush();
    return batch.results().front();
}

}  // namespace

class ReplaceEngineTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replacesByCharacter_data();
    void replacesByCharacter();
    void caseVariantsIncludeEveryFoldingPartner();
    void unchangedFileIsNotRewritten();
    void rewriteKeepsPermissionsAndLeavesNoTemporary();
    void failuresAreReportedAndLeaveOthersDone();
    void readOnlyFileIsRefused();
    void readOnlyFolderIsRewrittenInPlace();
    void fullDiskLeavesOriginalIntact_data();
    void fullDiskLeavesOriginalIntact();
    void symbolicLinkStaysALink();
    void hardLinksStayOneFile();
    void fileChangedBeforeRenameIsLeftAlone();
    void sameFileListedTwiceIsReplacedTwice();
    void batchesManyFiles();
};

void ReplaceEngineTest::replacesByCharacter_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray crlf = "a\r\nb\nc\r";
    QTest::newRow("utf-8 chinese") << QString("我们的中文，中文！").toUtf8() << "中文" << "汉语" << true
                                   << QString("我们的汉语，汉语！").toUtf8();
    QTest::newRow("gbk chinese") << gbk("我们的中文，中文！\r\n") << "中文" << "汉语" << true
                                 << gbk("我们的汉语，汉语！\r\n");
    // D0 CE is 形, but here it is the tail of 中 and the head of 文.
    QTest::newRow("gbk straddling characters") << gbk("中文中文") << "形" << "X" << true << gbk("中文中文");
    QTest::newRow("gbk backslash as a trail byte")
        << QByteArray("\x81\x5C" "a\\b") << "\\" << "/" << true << QByteArray("\x81\x5C" "a/b");
    QTest::newRow("gbk letter as a trail byte, any case")
        << QByteArray("\xB0\x61" "A" "\xB0\x41") << "a" << "x" << false << QByteArray("\xB0\x61" "x" "\xB0\x41");
    QTest::newRow("gbk full-width any case") << gbk("ＡＢ和ａｂ") << "ａｂ" << "甲" << false << gbk("甲和甲");
    QTest::newRow("gb18030 four-byte character") << gbk("a😀b€😀") << "😀" << "-" << true << gbk("a-b€-");
    QTest::newRow("ascii any case") << QByteArray("Hello HELLO hello") << "hello" << "bye" << false
                                    << QByteArray("bye bye bye");
    QTest::newRow("ascii same case") << QByteArray("Hello HELLO hello") << "hello" << "bye" << true
                                     << QByteArray("Hello HELLO bye");
    QTest::newRow("full-width any case") << QString("ＡＢＣ abc ａｂｃ").toUtf8() << "ａｂｃ" << "x" << false
                                         << QString("x abc x").toUtf8();
    QTest::newRow("full-width same case") << QString("ＡＢＣ ａｂｃ").toUtf8() << "ａｂｃ" << "x" << true
                                          << QString("ＡＢＣ x").toUtf8();
    QTest::newRow("greek sigma forms") << QString("Σσς").toUtf8() << "σ" << "s" << false << QByteArray("sss");
    QTest::newRow("chinese then a letter") << QString("中A中a中b").toUtf8() << "中a" << "1" << false
                                           << QString("11中b").toUtf8();
    QTest::newRow("utf-16le") << utf16("中文abc文", true) << "文" << "字" << true << utf16("中字abc字", true);
    // 00 41 00 20: the bytes of "A" stand at an odd offset, across two characters.
    QTest::newRow("utf-16le odd offset") << utf16(QString(QChar(0x4100)) + QChar(0x2000), true) << "A" << "B" << false
                                         << utf16(QString(QChar(0x4100)) + QChar(0x2000), true);
    QTest::newRow("utf-16be any case") << utf16("aBcAbC", false) << "abc" << "!" << false << utf16("!!", false);
    QTest::newRow("utf-8 bom kept") << QByteArray("\xEF\xBB\xBF" "abca") << "a" << "x" << true
                                    << QByteArray("\xEF\xBB\xBF" "xbcx");
    QTest::newRow("zero bytes kept") << QByteArray("a\0b\0a", 5) << "a" << "x" << true << QByteArray("x\0b\0x", 5);
    QTest::newRow("invalid bytes kept") << gbk("中") + QByteArray("\xFF\x80x\x81") << "x" << "y" << true
                                        << gbk("中") + QByteArray("\xFF\x80y\x81");
    // The encoding is settled over the whole file while it is read in pieces:
    // leads with narrow ranges must pass, a cut or a surrogate must not.
    QTest::newRow("utf-8 with every lead kind") << QString("ßx\u0800\uD7FF😀ß").toUtf8() << "ß" << "s" << true
                                                << QString("sx\u0800\uD7FF😀s").toUtf8();
    QTest::newRow("utf-8 surrogate means gbk") << gbk("中") + QByteArray("\xED\xA0\x80") << "中" << "x" << true
                                               << QByteArray("x\xED\xA0\x80");
    QTest::newRow("utf-8 cut at the end means gbk") << QString("中文").toUtf8() + QByteArray("\xE4\xB8") << "涓" << "x"
                                                    << true << QByteArray("x\xAD\xE6\x96\x87x");
    QTest::newRow("line ends kept") << crlf << "b" << "B" << true << QByteArray("a\r\nB\nc\r");
    QTest::newRow("empty replacement") << QByteArray("a,b,,c") << "," << "" << true << QByteArray("abc");
    QTest::newRow("replacement holds the target") << QByteArray("aXa") << "a" << "aa" << true
                                                  << QByteArray("aaXaa");
    QTest::newRow("no overlap, left first") << QByteArray("aaaaa") << "aa" << "b" << true << QByteArray("bba");
    QTest::newRow("empty file") << QByteArray() << "a" << "b" << true << QByteArray();
    QTest::newRow("empty target") << QByteArray("abc") << "" << "x" << true << QByteArray("abc");
    // Matches right at every edge of a small window, whatever its size.
    QByteArray many, manyExpected;
    for (int i = 0; i < 40; ++i) {
        many += gbk(QString(i % 3, QChar(u'中')) + "目标" + QString(i % 5, QChar(u'x')));
        manyExpected += gbk(QString(i % 3, QChar(u'中')) + "替换" + QString(i % 5, QChar(u'x')));
    }
    QTest::newRow("gbk many matches") << many << "目标" << "替换" << true << manyExpected;
    QTest::newRow("utf-8 many matches") << QString("目标x中目标中目标").repeated(20).toUtf8()
                                        << "目标" << "" << true << QString("x中中").repeated(20).toUtf8();
}

// Every case through the in-memory replacer and through files, with windows
// from one byte up, so that every match meets a window edge somewhere.
void ReplaceEngineTest::replacesByCharacter()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, target);
    QFETCH(QString, replacement);
    QFETCH(bool, caseSensitive);
    QFETCH(QByteArray, expected);

    for (const std::int64_t bufferSize : {1, 2, 3, 5, 8, 13, 1 << 20}) {
        QCOMPARE(replaceAll(content, target, replacement, caseSensitive, bufferSize), expected);
    }
    QTemporaryDir folder;
    const QString path = folder.filePath("a.txt");
    for (const std::int64_t bufferSize : {1, 4, 1 << 20}) {
        QVERIFY(writeBytes(path, content));
        const FileResult result = replaceOne(path, {target, replacement, caseSensitive}, {bufferSize, 1000, 1 << 28});
        QCOMPARE(readBytes(path), expected);
        QCOMPARE(result.outcome, expected == content ? FileOutcome::Unchanged : FileOutcome::Changed);
        QCOMPARE(folderEntries(folder.path()), QStringList{"a.txt"});
    }
}

void ReplaceEngineTest::caseVariantsIncludeEveryFoldingPartner()
{
    QCOMPARE(caseVariants(U'a'), (std::vector<char32_t>{U'A', U'a'}));
    QCOMPARE(caseVariants(U'Ａ'), (std::vector<char32_t>{U'Ａ', U'ａ'}));
    QCOMPARE(caseVariants(U'中'), std::vector<char32_t>{U'中'});
    QCOMPARE(caseVariants(U'k'), (std::vector<char32_t>{U'K', U'k', U'\u212A'}));  // and the Kelvin sign
}

void ReplaceEngineTest::unchangedFileIsNotRewritten()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("a.txt");
    QVERIFY(writeBytes(path, gbk("没有目标")));
    ageFile(path);
    const struct stat before = statOf(path);
    const FileResult result = replaceOne(path, {"中文", "x", false});
    QCOMPARE(result.outcome, FileOutcome::Unchanged);
    const struct stat after = statOf(path);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

void ReplaceEngineTest::rewriteKeepsPermissionsAndLeavesNoTemporary()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("a.txt");
    QVERIFY(writeBytes(path, "one two one"));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    const FileResult result = replaceOne(path, {"one", "1", true});
    QCOMPARE(result.outcome, FileOutcome::Changed);
    QCOMPARE(result.replacements, 2);
    QCOMPARE(readBytes(path), QByteArray("1 two 1"));
    QCOMPARE(statOf(path).st_mode & 07777, 0640u);
    QCOMPARE(folderEntries(folder.path()), QStringList{"a.txt"});
}

void ReplaceEngineTest::failuresAreReportedAndLeaveOthersDone()
{
    QTemporaryDir folder;
    const QString good1 = folder.filePath("1.txt"), missing = folder.filePath("missing.txt");
    const QString directory = folder.filePath("dir.txt"), good2 = folder.filePath("2.txt");
    QVERIFY(writeBytes(good1, "ab"));
    QVERIFY(writeBytes(good2, "ba"));
    QVERIFY(QDir(folder.path()).mkdir("dir.txt"));
    ReplaceBatch batch;
    for (const QString& path : {good1, missing, directory, good2})
        batch.replaceInFile(path, {"a", "c", true});
    batch.flush();
    const auto& results = batch.results();
    QCOMPARE(results.size(), 4u);
    QCOMPARE(results[0].outcome, FileOutcome::Changed);
    QCOMPARE(results[1].outcome, FileOutcome::Failed);
    QCOMPARE(results[1].error->code, ENOENT);
    QCOMPARE(results[1].error->path, missing);
    QCOMPARE(results[1].error->reason(), QString("文件或文件夹不存在"));
    QCOMPARE(results[2].outcome, FileOutcome::Failed);
    QCOMPARE(results[2].error->code, EISDIR);
    QCOMPARE(results[3].outcome, FileOutcome::Changed);
    QCOMPARE(readBytes(good1), QByteArray("cb"));
    QCOMPARE(readBytes(good2), QByteArray("bc"));
}

void ReplaceEngineTest::readOnlyFileIsRefused()
{
    QTemporaryDir folder;
    QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), 0777), 0);
    const QString path = folder.filePath("a.txt");
    QVERIFY(writeBytes(path, "abc"));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0444), 0);
    FileResult result;
    {
        ScopedUnprivileged nobody;
        QVERIFY(nobody.ok());
        result = replaceOne(path, {"b", "x", true});
    }
    QCOMPARE(result.outcome, FileOutcome::Failed);
    QCOMPARE(result.error->code, EACCES);
    QCOMPARE(result.error->reason(), QString("没有访问权限"));
    QCOMPARE(readBytes(path), QByteArray("abc"));
    QCOMPARE(folderEntries(folder.path()), QStringList{"a.txt"});
}

void ReplaceEngineTest::readOnlyFolderIsRewrittenInPlace()
{
    QTemporaryDir folder, scratch;
    const QString path = folder.filePath("a.txt");
    QVERIFY(writeBytes(path, "abcb"));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0666), 0);
    QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), 0555), 0);
    QCOMPARE(::chmod(QFile::encodeName(scratch.path()).constData(), 0777), 0);
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(scratch.path()));
    const ino_t inode = statOf(path).st_ino;
    FileResult result;
    {
        ScopedUnprivileged nobody;
        QVERIFY(nobody.ok());
        result = replaceOne(path, {"b", "xyz", true});
    }
    qputenv("TMPDIR", oldTmp);
    ::chmod(QFile::encodeName(folder.path()).constData(), 0755);
    QCOMPARE(result.outcome, FileOutcome::Changed);
    QCOMPARE(readBytes(path), QByteArray("axyzcxyz"));
    QCOMPARE(statOf(path).st_ino, inode);
    QCOMPARE(folderEntries(folder.path()), QStringList{"a.txt"});
    QCOMPARE(folderEntries(scratch.path()), QStringList());
}

void ReplaceEngineTest::fullDiskLeavesOriginalIntact_data()
{
    QTest::addColumn<bool>("hardLinked");
    QTest::newRow("through a temporary file") << false;
    QTest::newRow("in place, for a file with two links") << true;
}

// The file size limit makes writes past 64 KiB fail as on a full disk. It is
// set in a child process, so the test runner keeps its own limits.
void ReplaceEngineTest::fullDiskLeavesOriginalIntact()
{
    QFETCH(bool, hardLinked);
    QTemporaryDir folder;
    const QString path = folder.filePath("a.txt"), link = folder.filePath("b.txt");
    QByteArray content;
    for (int i = 0; i < 3000; ++i)
        content += gbk(QString("第%1行：目标\r\n").arg(i));
    QVERIFY(content.size() < 60000);
    QVERIFY(writeBytes(path, content));
    if (hardLinked)
        QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);
    ageFile(path);
    const struct stat before = statOf(path);

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {65536, 65536};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const FileResult result = replaceOne(path, {"目标", "更长的替换文字", true});
        ::_exit(result.outcome == FileOutcome::Failed && result.error->code == EFBIG ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(readBytes(path), content);
    QCOMPARE(statOf(path).st_size, before.st_size);
    if (!hardLinked)
        QCOMPARE(statOf(path).st_mtim.tv_sec, before.st_mtim.tv_sec);
    QCOMPARE(folderEntries(folder.path()), hardLinked ? QStringList({"a.txt", "b.txt"}) : QStringList{"a.txt"});
    QCOMPARE(describeError(EFBIG), QString("文件超出了允许的大小"));
}

void ReplaceEngineTest::symbolicLinkStaysALink()
{
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkdir("real"));
    const QString real = folder.filePath("real/a.txt"), link = folder.filePath("link.txt");
    QVERIFY(writeBytes(real, "old text"));
    QVERIFY(QFile::link(real, link));
    QCOMPARE(replaceOne(link, {"old", "new", true}).outcome, FileOutcome::Changed);
    QVERIFY(S_ISLNK(statOf(link).st_mode));
    QCOMPARE(QFile::symLinkTarget(link), real);
    QCOMPARE(readBytes(real), QByteArray("new text"));
    QCOMPARE(folderEntries(folder.filePath("real")), QStringList{"a.txt"});
}

void ReplaceEngineTest::hardLinksStayOneFile()
{
    QTemporaryDir folder;
    const QString first = folder.filePath("a.txt"), second = folder.filePath("b.txt");
    QVERIFY(writeBytes(first, "old text, old"));
    QCOMPARE(::link(QFile::encodeName(first).constData(), QFile::encodeName(second).constData()), 0);
    QCOMPARE(replaceOne(first, {"old", "new!", true}).outcome, FileOutcome::Changed);
    QCOMPARE(readBytes(second), QByteArray("new! text, new!"));
    QCOMPARE(statOf(first).st_ino, statOf(second).st_ino);
    QCOMPARE(folderEntries(folder.path()), QStringList({"a.txt", "b.txt"}));
}

void ReplaceEngineTest::fileChangedBeforeRenameIsLeftAlone()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("a.txt");
    QVERIFY(writeBytes(path, "abc"));
    ReplaceBatch batch;
    batch.replaceInFile(path, {"b", "x", true});
    QVERIFY(writeBytes(path, "abcd"));  // another program saves it meanwhile
    batch.flush();
    QCOMPARE(batch.results().front().outcome, FileOutcome::Failed);
    QCOMPARE(batch.results().front().error->code, ESTALE);
    QCOMPARE(readBytes(path), QByteArray("abcd"));
    QCOMPARE(folderEntries(folder.path()), QStringList{"a.txt"});
}

void ReplaceEngineTest::sameFileListedTwiceIsReplacedTwice()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("a.txt"), link = folder.filePath("link.txt");
    QVERIFY(QFile::link(path, link));
    // The first rewrite still waiting in the batch, or already being put in place.
    for (const int batchFiles : {1000, 1}) {
        QVERIFY(writeBytes(path, "a"));
        ReplaceBatch batch({1 << 20, batchFiles, 1 << 28});
        batch.replaceInFile(path, {"a", "aa", true});
        batch.replaceInFile(link, {"a", "aa", true});
        batch.flush();
        QCOMPARE(batch.results()[0].outcome, FileOutcome::Changed);
        QCOMPARE(batch.results()[1].outcome, FileOutcome::Changed);
        QCOMPARE(readBytes(path), QByteArray("aaaa"));
    }
}

void ReplaceEngineTest::batchesManyFiles()
{
    QTemporaryDir folder;
    QStringList paths;
    for (int i = 0; i < 25; ++i) {
        paths << folder.filePath(QString("%1.txt").arg(i));
        QVERIFY(writeBytes(paths.last(), i % 2 ? gbk("甲乙甲") : QString("甲乙甲").toUtf8()));
    }
    ReplaceBatch batch({1 << 20, 4, 1 << 28});
    for (const QString& path : paths)
        batch.replaceInFile(path, {"甲", "丙", true});
    batch.flush();
    for (int i = 0; i < 25; ++i) {
        QCOMPARE(batch.results()[i].outcome, FileOutcome::Changed);
        QCOMPARE(readBytes(paths[i]), i % 2 ? gbk("丙乙丙") : QString("丙乙丙").toUtf8());
    }
    QCOMPARE(folderEntries(folder.path()).size(), 25);
}

QTEST_GUILESS_MAIN(ReplaceEngineTest)
#include "tst_replaceengine.moc"
