#include "services/encoding.h"
#include "services/file.h"
#include "split/splitengine.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

Q_DECLARE_METATYPE(EncodingInfo)

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Every name in the folder, hidden ones too, with the content of each file.
std::map<QString, QByteArray> folderContents(const QString& folder)
{
    std::map<QString, QByteArray> contents;
    const auto entries = QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    for (const auto& entry : entries)
        contents[entry.fileName()] = entry.isDir() ? QByteArray("<folder>") : fileBytes(entry.filePath());
    return contents;
}

ByteReader memoryReader(const QByteArray& bytes, std::int64_t* bytesRead = nullptr)
{
    return [&bytes, bytesRead](std::int64_t offset, std::int64_t count) -> std::optional<ByteBuffer> {
        if (offset < 0 || count < 0 || offset + count > bytes.size())
            return std::nullopt;
        if (bytesRead)
            *bytesRead += count;
        return bytes.mid(offset, count);
    };
}

// The plain rule, by brute force: parse every character from the start of the
// file, then move each aimed cut back to a character start and off a CRLF.
std::vector<std::int64_t> referenceCuts(const QByteArray& bytes, EncodingInfo encoding, std::int32_t parts)
{
    const std::int64_t length = bytes.size();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    std::vector<std::int64_t> previousStart(length + 1, 0);  // start of the character holding each byte
    std::vector<bool> isStart(length + 1, false);
    for (std::int64_t at = 0; at < length;) {
        const int size = characterLength(encoding.encoding, data + at, length - at);
        isStart[at] = true;
        for (int k = 0; k < size; ++k)
            previousStart[at + k] = at;
        at += size;
    }
    isStart[length] = true;
    previousStart[length] = length;
    const bool utf16 = encoding.encoding == Encoding::Utf16LE || encoding.encoding == Encoding::Utf16BE;
    auto isLineFeedAfterReturn = [&](std::int64_t at) {
        if (at >= length || at == 0)
            return false;
        if (!utf16)
            return data[at] == 0x0A && data[at - 1] == 0x0D;
        if (at + 2 > length || at < 2 + encoding.bomLength || !isStart[at - 2])
            return false;
        auto unit = [&](std::int64_t i) {
            return encoding.encoding == Encoding::Utf16LE ? data[i] | data[i + 1] << 8 : data[i] << 8 | data[i + 1];
        };
        return unit(at) == 0x0A && unit(at - 2) == 0x0D;
    };
    std::vector<std::int64_t> cuts{0};
    const std::int64_t size = parts > 0 ? std::llround(double(length) / parts) : 0;
    for (std::int32_t i = 1; i < parts; ++i) {
        std::int64_t cut = previousStart[std::min<std::int64_t>(std::int64_t{i} * size, length)];
        if (isLineFeedAfterReturn(cut))
            cut = previousStart[cut - 1];
        cuts.push_back(std::max(cut, cuts.back()));
    }
    cuts.push_back(length);
    return cuts;
}

QByteArray utf16(const QString& text, bool little)
{
    QByteArray bytes = little ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (QChar c : text) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
        bytes.append(little ? low : high).append(little ? high : low);
    }
    return bytes;
}

const QString mixedText = QStringLiteral("第一行：中文和ASCII混排，😀表情\r\n第二行 é ñ 𠀀 end\r\n\r\n空行之后。\n");

QByteArray randomBytes(int size, quint32 seed, int lowByteEvery)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (auto& b : bytes)
        b = char(random.bounded(lowByteEvery) == 0 ? random.bounded(0x30) : 0x30 + random.bounded(0xD0));
    return bytes;
}

}  // namespace

class SplitEngineTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void plannerMatchesPlainRule_data();
    void plannerMatchesPlainRule();
    void plannerReadsOnlyAroundCuts();
    void utf8CheckAgreesWithCharacterParse();
    void splitsFiles_data();
    void splitsFiles();
    void largeSourceGivesSameCutsWhileCheckingBesideTheCopy_data();
    void largeSourceGivesSameCutsWhileCheckingBesideTheCopy();
    void failureLeavesFolderAsItWas_data();
    void failureLeavesFolderAsItWas();
    void readOnlyFolderIsReportedWithoutPrivileges();
    void noSourceIsReported();
    void cancelLeavesFolderAsItWas();
    void replacesOnlyPartsOneToN();
    void sameHandleSplitsAgainAndNoDescriptorLeaks();
    void sparseSourceAboveFourGiB();
};

void SplitEngineTest::initTestCase()
{
    qRegisterMetaType<EncodingInfo>();
}

void SplitEngineTest::plannerMatchesPlainRule_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<EncodingInfo>("encoding");
    const EncodingInfo utf8{Encoding::Utf8, 0}, gb{Encoding::Gb18030, 0};
    const QString manyLines = mixedText.repeated(40);
    QTest::newRow("utf-8") << manyLines.toUtf8() << utf8;
    QTest::newRow("utf-8 with bom") << QByteArray("\xEF\xBB\xBF") + manyLines.toUtf8() << EncodingInfo{Encoding::Utf8, 3};
    QTest::newRow("gb18030 two- and four-byte") << encodeText(manyLines, Encoding::Gb18030) << gb;
    // No byte below 0x30 for far longer than the planner looks back.
    QTest::newRow("gb18030 without line breaks")
        << encodeText(QStringLiteral("汉字没有换行😀").repeated(2000), Encoding::Gb18030) << gb;
    QTest::newRow("utf-16le surrogates") << utf16(manyLines, true) << EncodingInfo{Encoding::Utf16LE, 2};
    QTest::newRow("utf-16be surrogates") << utf16(manyLines, false) << EncodingInfo{Encoding::Utf16BE, 2};
    QTest::newRow("utf-16le odd length") << utf16(manyLines, true) + "\x41" << EncodingInfo{Encoding::Utf16LE, 2};
    QTest::newRow("utf-16le lone surrogates") << utf16(QString::fromUtf16(u"\xD800\xD800\xDC00\xDC00\r\n").repeated(50), true)
                                            << EncodingInfo{Encoding::Utf16LE, 2};
    QTest::newRow("crlf only") << QByteArray("\r\n").repeated(101) << utf8;
    QTest::newRow("gb18030 arbitrary bytes") << randomBytes(5000, 7, 40) << gb;
    QTest::newRow("gb18030 arbitrary bytes, rare low") << randomBytes(30000, 8, 9000) << gb;
    QTest::newRow("utf-8 reading of arbitrary bytes") << QByteArray("\xEF\xBB\xBF") + randomBytes(5000, 9, 20)
                                                     << EncodingInfo{Encoding::Utf8, 3};
}

void SplitEngineTest::plannerMatchesPlainRule()
{
    QFETCH(QByteArray, bytes);
    QFETCH(EncodingInfo, encoding);
    const std::int32_t length = std::int32_t(bytes.size());
    std::vector<std::int32_t> counts;
    for (std::int32_t n = 1; n <= 64; ++n)
        counts.push_back(n);
    for (std::int32_t n : {length / 3, length / 2 - 1, length - 1, length, length + 1, 2 * length + 3})
        if (n > 0)
            counts.push_back(n);
    for (std::int32_t parts : counts) {
        const auto cuts = planCuts(encoding, length, parts, memoryReader(bytes));
        QVERIFY(cuts);
        if (*cuts != referenceCuts(bytes, encoding, parts))
            QFAIL(qPrintable(QStringLiteral("cuts differ from the plain rule for %1 parts").arg(parts)));
    }
}

void SplitEngineTest::plannerReadsOnlyAroundCuts()
{
    const QByteArray utf8Text = mixedText.repeated(100000).toUtf8();
    const QByteArray gbText = encodeText(mixedText.repeated(100000), Encoding::Gb18030);
    for (const auto& [bytes, encoding] :
         {std::pair{utf8Text, EncodingInfo{Encoding::Utf8, 0}}, std::pair{gbText, EncodingInfo{Encoding::Gb18030, 0}}}) {
        std::int64_t bytesRead = 0;
        QVERIFY(planCuts(encoding, bytes.size(), 10, memoryReader(bytes, &bytesRead)));
        QVERIFY2(bytesRead < 10 * 8192, qPrintable(QString::number(bytesRead)));
    }
}

// The whole-file check decides the encoding, so its fast block path must say
// exactly what a strict character-by-character parse says, wherever the
// chunks of a streamed file happen to end.
void SplitEngineTest::utf8CheckAgreesWithCharacterParse()
{
    QRandomGenerator random(2024);
    const char32_t samples[] = {U'a', U'\r', U'\n', U'\0', U'é', U'中', U'文', U'\uFFFD', U'😀', U'\U0010FFFF', U'\u0800'};
    const char bad[] = {char(0x80), char(0xBF), char(0xC0), char(0xC1), char(0xE0), char(0xED), char(0xF0), char(0xF4),
                        char(0xF5), char(0xFF), char(0xA0), char(0x90)};
    for (int round = 0; round < 4000; ++round) {
        QString text;
        const int characters = random.bounded(200);
        for (int i = 0; i < characters; ++i)
            text += QString::fromUcs4(&samples[random.bounded(int(std::size(samples)))], 1);
        QByteArray bytes = text.toUtf8();
        if (round % 2 && !bytes.isEmpty()) {
            const int changes = 1 + random.bounded(2);
            for (int i = 0; i < changes; ++i)
                bytes[random.bounded(int(bytes.size()))] = bad[random.bounded(int(std::size(bad)))];
        }
        if (round % 7 == 0 && bytes.size() > 2)
            bytes.chop(1 + random.bounded(2));
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
        bool expected = true;
        for (qsizetype at = 0; at < bytes.size();) {
            const int size = characterLength(Encoding::Utf8, data + at, bytes.size() - at);
            expected = expected && (size > 1 || data[at] < 0x80);
            at += size;
        }
        Utf8Validator validator;
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype size = std::min<qsizetype>(bytes.size() - at, 1 + random.bounded(round % 3 ? 300 : 20));
            validator.feed(QByteArrayView(bytes.constData() + at, size));
            at += size;
        }
        if (validator.finish() != expected)
            QFAIL(qPrintable("disagrees on " + bytes.toHex(' ')));
    }
}

void SplitEngineTest::splitsFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("parts");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QList<int>>("sizes");  // empty: only the two properties are checked
    const int utf8 = int(Encoding::Utf8), gb = int(Encoding::Gb18030);
    QTest::newRow("gbk cut before lead byte") << QByteArray("\x41\x42\x43\xB0\xA1\x44") << 2 << gb << QList<int>{3, 3};
    QTest::newRow("rounding leaves last part empty") << QByteArray("0123456789") << 6 << utf8
                                                     << QList<int>{2, 2, 2, 2, 2, 0};
    QTest::newRow("more parts than half the bytes") << QByteArray("abc") << 8 << utf8
                                                    << QList<int>{0, 0, 0, 0, 0, 0, 0, 3};
    QTest::newRow("half rounds up") << QByteArray("abcde") << 2 << utf8 << QList<int>{3, 2};
    QTest::newRow("zero bytes are ordinary") << QByteArray("ab\0cd\0ef\0gh\0", 12) << 3 << utf8
                                             << QList<int>{4, 4, 4};
    QTest::newRow("one part") << mixedText.toUtf8() << 1 << utf8 << QList<int>{int(mixedText.toUtf8().size())};
    QTest::newRow("more parts than bytes") << QString("中文").toUtf8() << 9 << utf8 << QList<int>{};
    QTest::newRow("empty source") << QByteArray() << 3 << utf8 << QList<int>{0, 0, 0};
    QTest::newRow("never between cr and lf") << QByteArray("a\r\nb\r\n") << 3 << utf8 << QList<int>{1, 3, 2};
    QTest::newRow("utf-8") << mixedText.repeated(7).toUtf8() << 13 << utf8 << QList<int>{};
    QTest::newRow("gb18030") << encodeText(mixedText.repeated(7), Encoding::Gb18030) << 13 << gb << QList<int>{};
    QTest::newRow("utf-16le") << utf16(mixedText.repeated(7), true) << 13 << int(Encoding::Utf16LE) << QList<int>{};
    QTest::newRow("utf-16be") << utf16(mixedText.repeated(7), false) << 13 << int(Encoding::Utf16BE) << QList<int>{};
    QTest::newRow("utf-8 broken at the end") << mixedText.toUtf8() + "\xE4\xB8" << 11 << gb << QList<int>{};
}

void SplitEngineTest::splitsFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, parts);
    QFETCH(int, encoding);
    QFETCH(QList<int>, sizes);
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath("source.txt");
    writeBytes(sourcePath, bytes);
    QVERIFY(QDir(dir.path()).mkdir("out"));
    const QString folder = dir.filePath("out");

    auto opened = openFile(sourcePath);
    QVERIFY(opened.handle);
    const SplitResult result = runSplit({std::move(opened.handle), sourcePath, folder, parts, {}, nullptr, {}});
    QCOMPARE(int(result.outcome), int(SplitOutcome::Done));
    QCOMPARE(int(result.encoding), encoding);

    const auto contents = folderContents(folder);
    QCOMPARE(contents.size(), std::size_t(parts));  // the parts and nothing else
    QByteArray joined;
    QList<int> partSizes;
    std::vector<std::int64_t> cuts{0};
    for (int i = 1; i <= parts; ++i) {
        const QByteArray part = contents.at(QString::number(i) + ".txt");
        joined += part;
        partSizes << int(part.size());
        cuts.push_back(joined.size());
    }
    QCOMPARE(joined, bytes);
    if (!sizes.isEmpty())
        QCOMPARE(partSizes, sizes);
    const EncodingInfo info = detectEncoding(bytes);
    QCOMPARE(cuts, referenceCuts(bytes, info, parts));

    // An independent reading: decoding the parts one by one gives the same
    // text as decoding the whole, so no part starts or ends inside a character.
    QStringDecoder whole(encodingName(info.encoding));
    const QString expected = whole.decode(bytes);
    if (!whole.isValid() || whole.hasError())
        return;
    QString pieced;
    for (int i = 1; i <= parts; ++i) {
        QStringDecoder decoder(encodingName(info.encoding));
        pieced += decoder.decode(contents.at(QString::number(i) + ".txt"));
        QVERIFY2(!decoder.hasError(), qPrintable(QStringLiteral("part %1 is cut inside a character").arg(i)));
    }
    QCOMPARE(pieced, expected);
}

void SplitEngineTest::largeSourceGivesSameCutsWhileCheckingBesideTheCopy_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("encoding");
    const QByteArray text = mixedText.repeated(3000).toUtf8();
    QTest::newRow("valid utf-8") << text << int(Encoding::Utf8);
    // Valid UTF-8 for long past the first check, broken near the end: the
    // parts first made on UTF-8 cuts must be made again on GB18030 cuts.
    QTest::newRow("broken near the end") << text + "\xFF" << int(Encoding::Gb18030);
    QTest::newRow("broken in the middle") << text.left(text.size() / 2) + "\xC0" + text << int(Encoding::Gb18030);
}

void SplitEngineTest::largeSourceGivesSameCutsWhileCheckingBesideTheCopy()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, encoding);
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath("source.txt");
    writeBytes(sourcePath, bytes);
    auto opened = openFile(sourcePath);
    SplitRequest request{std::move(opened.handle), sourcePath, dir.path(), 7, {}, nullptr, {}};
    request.tuning.checkFirstLimit = 0;
    request.tuning.headCheckLength = 4096;
    const SplitResult result = runSplit(std::move(request));
    QCOMPARE(int(result.outcome), int(SplitOutcome::Done));
    QCOMPARE(int(result.encoding), encoding);
    std::vector<std::int64_t> cuts{0};
    QByteArray joined;
    for (int i = 1; i <= 7; ++i) {
        joined += fileBytes(dir.filePath(QString::number(i) + ".txt"));
        cuts.push_back(joined.size());
    }
    QCOMPARE(joined, bytes);
    QCOMPARE(cuts, referenceCuts(bytes, EncodingInfo{Encoding(encoding), 0}, 7));
    QCOMPARE(folderContents(dir.path()).size(), std::size_t(8));  // no temporaries left
}

void SplitEngineTest::failureLeavesFolderAsItWas_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("failingName");
    QTest::newRow("a folder named like a part") << "folder 3.txt" << int(SplitOutcome::PartNotWritten) << "3.txt";
    QTest::newRow("source is part 1") << "source 1.txt" << int(SplitOutcome::PartIsSource) << "1.txt";
    QTest::newRow("link to the source") << "link 2.txt" << int(SplitOutcome::PartIsSource) << "2.txt";
    QTest::newRow("folder missing") << "no folder" << int(SplitOutcome::PartNotWritten) << "";
}

void SplitEngineTest::failureLeavesFolderAsItWas()
{
    QFETCH(QString, setup);
    QFETCH(int, outcome);
    QFETCH(QString, failingName);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("out");
    const QString folder = dir.filePath("out");
    QString sourcePath = dir.filePath("source.txt");
    writeBytes(folder + "/1.txt", "earlier part one");
    writeBytes(folder + "/notes.txt", "not a part");
    if (setup == "folder 3.txt")
        QVERIFY(QDir(folder).mkdir("3.txt"));
    if (setup == "source 1.txt")
        sourcePath = folder + "/1.txt";
    else
        writeBytes(sourcePath, mixedText.repeated(20).toUtf8());
    if (setup == "link 2.txt")
        QVERIFY(QFile::link(sourcePath, folder + "/2.txt"));
    const QString target = setup == "no folder" ? dir.filePath("missing") : folder;
    const QByteArray sourceBefore = fileBytes(sourcePath);
    const auto before = folderContents(folder);

    auto opened = openFile(sourcePath);
    const SplitResult result = runSplit({std::move(opened.handle), sourcePath, target, 4, {}, nullptr, {}});
    QCOMPARE(int(result.outcome), outcome);
    if (!failingName.isEmpty())
        QCOMPARE(result.error.path, target + QDir::separator() + failingName);
    else
        QCOMPARE(result.error.code, ENOENT);
    QVERIFY(result.failed());
    QCOMPARE(folderContents(folder), before);
    QCOMPARE(fileBytes(sourcePath), sourceBefore);
}

void SplitEngineTest::readOnlyFolderIsReportedWithoutPrivileges()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("out");
    const QString folder = dir.filePath("out");
    const QString sourcePath = dir.filePath("source.txt");
    writeBytes(sourcePath, mixedText.toUtf8());
    writeBytes(folder + "/1.txt", "earlier");
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(sourcePath).constData(), 0644) == 0);
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
    const auto before = folderContents(folder);

    // Root may write anywhere: the split runs in a child that has given up root.
    int report[2];
    QVERIFY(::pipe(report) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(report[0]);
        if (::geteuid() == 0 && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
            ::_exit(2);
        auto opened = openFile(sourcePath);
        const SplitResult result = runSplit({std::move(opened.handle), sourcePath, folder, 3, {}, nullptr, {}});
        const int values[2] = {int(result.outcome), result.error.code};
        const bool sent = ::write(report[1], values, sizeof values) == sizeof values;
        ::_exit(sent ? 0 : 3);
    }
    ::close(report[1]);
    int values[2] = {-1, -1};
    const ssize_t got = ::read(report[0], values, sizeof values);
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(got, ssize_t(sizeof values));
    QCOMPARE(values[0], int(SplitOutcome::PartNotWritten));
    QCOMPARE(values[1], EACCES);
    QCOMPARE(folderContents(folder), before);
}

void SplitEngineTest::noSourceIsReported()
{
    QTemporaryDir dir;
    const SplitResult result = runSplit({FileHandle(), "", dir.path(), 2, {}, nullptr, {}});
    QCOMPARE(int(result.outcome), int(SplitOutcome::NoSource));
    QVERIFY(folderContents(dir.path()).empty());
}

void SplitEngineTest::cancelLeavesFolderAsItWas()
{
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath("source.txt");
    // Several copy steps, so that the cancel lands between two of them.
    writeBytes(sourcePath, QByteArray(48 << 20, 'x'));
    QDir(dir.path()).mkdir("out");
    const QString folder = dir.filePath("out");
    writeBytes(folder + "/2.txt", "earlier");
    const auto before = folderContents(folder);
    std::atomic<bool> cancel{false};
    int progressCalls = 0;
    auto opened = openFile(sourcePath);
    SplitRequest request{std::move(opened.handle), sourcePath, folder, 3, {}, &cancel, {}};
    request.progress = [&](std::int64_t done, std::int64_t total) {
        ++progressCalls;
        QVERIFY(done <= total);
        cancel = true;
    };
    const SplitResult result = runSplit(std::move(request));
    QCOMPARE(int(result.outcome), int(SplitOutcome::Cancelled));
    QCOMPARE(progressCalls, 1);
    QCOMPARE(folderContents(folder), before);
}

void SplitEngineTest::replacesOnlyPartsOneToN()
{
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath("source.txt");
    writeBytes(sourcePath, "aabbcc");
    QDir(dir.path()).mkdir("out");
    const QString folder = dir.filePath("out");
    for (int i = 1; i <= 5; ++i)
        writeBytes(folder + QStringLiteral("/%1.txt").arg(i), "old " + QByteArray::number(i));
    auto opened = openFile(sourcePath);
    QCOMPARE(int(runSplit({std::move(opened.handle), sourcePath, folder, 3, {}, nullptr, {}}).outcome),
             int(SplitOutcome::Done));
    const std::map<QString, QByteArray> expected{
        {"1.txt", "aa"}, {"2.txt", "bb"}, {"3.txt", "cc"}, {"4.txt", "old 4"}, {"5.txt", "old 5"}};
    QCOMPARE(folderContents(folder), expected);
}

void SplitEngineTest::sameHandleSplitsAgainAndNoDescriptorLeaks()
{
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath("source.txt");
    writeBytes(sourcePath, mixedText.toUtf8());
    auto opened = openFile(sourcePath);
    auto openDescriptors = [] { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(); };
    const auto descriptorsBefore = openDescriptors();
    for (int round = 0; round < 300; ++round) {
        const int parts = 1 + round % 4;
        const SplitResult result = runSplit({opened.handle.duplicate(), sourcePath, dir.path(), parts, {}, nullptr, {}});
        QCOMPARE(int(result.outcome), int(SplitOutcome::Done));
        QByteArray joined;
        for (int i = 1; i <= parts; ++i)
            joined += fileBytes(dir.filePath(QString::number(i) + ".txt"));
        QCOMPARE(joined, mixedText.toUtf8());
    }
    QCOMPARE(openDescriptors(), descriptorsBefore);
}

void SplitEngineTest::sparseSourceAboveFourGiB()
{
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath("sparse.txt");
    const std::int64_t length = 5LL << 30;
    const std::int64_t third = nominalPartSize(length, 3);
    // Markers around the cuts and past 4 GiB, zeros (a hole) everywhere else.
    const std::vector<std::pair<std::int64_t, QByteArray>> markers{
        {0, "start"}, {third - 3, "abc"}, {third, "def"}, {(4LL << 30) + 17, "past 4 GiB"},
        {2 * third - 2, "gh"}, {length - 3, "end"}};
    {
        const int fd = ::open(QFile::encodeName(sourcePath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        bool ok = ::ftruncate(fd, length) == 0;
        for (const auto& [offset, text] : markers)
            ok = ok && ::pwrite(fd, text.constData(), text.size(), offset) == text.size();
        ::close(fd);
        QVERIFY(ok);
    }
    struct stat info {};
    QVERIFY(::stat(QFile::encodeName(sourcePath).constData(), &info) == 0);
    if (info.st_blocks * 512 > (64 << 20))
        QSKIP("this file system does not keep sparse files");
    QDir(dir.path()).mkdir("out");
    const QString folder = dir.filePath("out");
    auto opened = openFile(sourcePath);
    const SplitResult result = runSplit({std::move(opened.handle), sourcePath, folder, 3, {}, nullptr, {}});
    QCOMPARE(int(result.outcome), int(SplitOutcome::Done));

    const std::int64_t starts[4] = {0, third, 2 * third, length};
    for (int i = 1; i <= 3; ++i) {
        const QString part = folder + QStringLiteral("/%1.txt").arg(i);
        QCOMPARE(QFileInfo(part).size(), starts[i] - starts[i - 1]);
        auto partFile = openFile(part);
        for (const auto& [offset, text] : markers) {
            if (offset < starts[i - 1] || offset >= starts[i])
                continue;
            QCOMPARE(readBytes(partFile.handle, offset - starts[i - 1], text.size()), text);
        }
        QCOMPARE(readBytes(partFile.handle, 1000, 4), QByteArray(4, '\0'));
    }
}

QTEST_GUILESS_MAIN(SplitEngineTest)
#include "tst_splitengine.moc"
