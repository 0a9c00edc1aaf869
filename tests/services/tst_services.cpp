#include "services/encoding.h"
#include "services/file.h"
#include "services/text.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class ServicesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void toIntegerReadsLeadingNumber_data();
    void toIntegerReadsLeadingNumber();
    void roundNumberTakesHalvesAwayFromZero();
    void detectEncoding_data();
    void detectEncoding();
    void characterLength_data();
    void characterLength();
    void fileDetectionMatchesInMemoryAcrossChunks();
    void emptyHandleIsHarmless();
    void openFileRefusesWhatIsNotAFile();
};

void ServicesTest::toIntegerReadsLeadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("plain") << "5" << 5;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("blanks and sign") << "  +12" << 12;
    QTest::newRow("negative") << "-3" << -3;
    QTest::newRow("trailing letters") << "7份" << 7;
    QTest::newRow("fraction") << "2.9" << 2;
    QTest::newRow("letters first") << "abc" << 0;
    QTest::newRow("sign alone") << "-" << 0;
    QTest::newRow("full-width digits") << "１２" << 12;
    QTest::newRow("above int32") << "99999999999" << 2147483647;
    QTest::newRow("below int32") << "-99999999999" << int(-2147483647 - 1);
}

void ServicesTest::toIntegerReadsLeadingNumber()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(toInteger(text), expected);
}

void ServicesTest::roundNumberTakesHalvesAwayFromZero()
{
    QCOMPARE(roundNumber(2.5), 3.0);
    QCOMPARE(roundNumber(2.4999), 2.0);
    QCOMPARE(roundNumber(-2.5), -3.0);
    QCOMPARE(roundNumber(0.5), 1.0);
}

void ServicesTest::detectEncoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<int>("bomLength");
    const int utf8 = int(Encoding::Utf8), gb = int(Encoding::Gb18030);
    QTest::newRow("empty") << QByteArray() << utf8 << 0;
    QTest::newRow("ascii") << QByteArray("hello\r\n") << utf8 << 0;
    QTest::newRow("utf-8 chinese") << QString("中文").toUtf8() << utf8 << 0;
    QTest::newRow("utf-8 bom") << QByteArray("\xEF\xBB\xBF" "a") << utf8 << 3;
    QTest::newRow("utf-16le bom") << QByteArray("\xFF\xFE" "a\0", 4) << int(Encoding::Utf16LE) << 2;
    QTest::newRow("utf-16be bom") << QByteArray("\xFE\xFF\0a", 4) << int(Encoding::Utf16BE) << 2;
    QTest::newRow("gbk") << QByteArray("\xD6\xD0\xCE\xC4") << gb << 0;
    QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << gb << 0;
    QTest::newRow("utf-8 surrogate") << QByteArray("\xED\xA0\x80") << gb << 0;
    QTest::newRow("truncated at end") << QByteArray("ab\xE4\xB8") << gb << 0;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << gb << 0;
    QTest::newRow("zero bytes are fine") << QByteArray("a\0b", 3) << utf8 << 0;
}

void ServicesTest::detectEncoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, encoding);
    QFETCH(int, bomLength);
    const EncodingInfo info = ::detectEncoding(bytes);
    QCOMPARE(int(info.encoding), encoding);
    QCOMPARE(info.bomLength, bomLength);
}

void ServicesTest::characterLength_data()
{
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    const int utf8 = int(Encoding::Utf8), gb = int(Encoding::Gb18030);
    const int le = int(Encoding::Utf16LE), be = int(Encoding::Utf16BE);
    QTest::newRow("utf-8 ascii") << utf8 << QByteArray("a") << 1;
    QTest::newRow("utf-8 three bytes") << utf8 << QString("中").toUtf8() << 3;
    QTest::newRow("utf-8 four bytes") << utf8 << QString("😀").toUtf8() << 4;
    QTest::newRow("utf-8 stray continuation") << utf8 << QByteArray("\x80\x80") << 1;
    QTest::newRow("utf-8 cut off") << utf8 << QByteArray("\xE4\xB8") << 1;
    QTest::newRow("gb two bytes") << gb << QByteArray("\xD6\xD0") << 2;
    QTest::newRow("gb trail 5C") << gb << QByteArray("\x81\x5C") << 2;
    QTest::newRow("gb four bytes") << gb << QByteArray("\x81\x30\x81\x30") << 4;
    QTest::newRow("gb lead without trail") << gb << QByteArray("\xD6") << 1;
    QTest::newRow("gb lead before newline") << gb << QByteArray("\xD6\n") << 1;
    QTest::newRow("gb 80 alone") << gb << QByteArray("\x80\x40") << 1;
    QTest::newRow("utf-16le unit") << le << QByteArray("a\0", 2) << 2;
    QTest::newRow("utf-16le pair") << le << QByteArray("\x3D\xD8\x00\xDE", 4) << 4;
    QTest::newRow("utf-16be pair") << be << QByteArray("\xD8\x3D\xDE\x00", 4) << 4;
    QTest::newRow("utf-16le lone high") << le << QByteArray("\x3D\xD8" "a\0", 4) << 2;
    QTest::newRow("utf-16 odd last byte") << le << QByteArray("a") << 1;
}

void ServicesTest::characterLength()
{
    QFETCH(int, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QCOMPARE(::characterLength(Encoding(encoding), reinterpret_cast<const unsigned char*>(bytes.constData()),
                               bytes.size()),
             expected);
}

void ServicesTest::fileDetectionMatchesInMemoryAcrossChunks()
{
    // A character that straddles the 1 MiB chunk edge must not look invalid,
    // and an invalid byte far past the first chunk must still be found.
    QTemporaryDir dir;
    QByteArray valid(1024 * 1024 - 1, 'a');
    valid += QString("中").toUtf8();
    QByteArray invalid = valid + QByteArray(3 * 1024 * 1024, 'b') + "\xD6\xD0";
    for (const auto& [bytes, expected] : {std::pair{valid, Encoding::Utf8}, std::pair{invalid, Encoding::Gb18030}}) {
        const QString path = dir.filePath("f.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        OpenedFile opened = openFile(path);
        QVERIFY(opened.handle);
        const auto info = detectFileEncoding(opened.handle);
        QVERIFY(info);
        QCOMPARE(info->encoding, expected);
    }
}

void ServicesTest::emptyHandleIsHarmless()
{
    FileHandle none;
    QCOMPARE(fileLength(none), 0);
    QVERIFY(readBytes(none, 0, 10).isEmpty());
    QVERIFY(!fileIdentity(none));
    QVERIFY(!none.duplicate());
}

void ServicesTest::openFileRefusesWhatIsNotAFile()
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("fifo.txt");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const OpenedFile fromFifo = openFile(fifo);
    QVERIFY(!fromFifo.handle);
    QCOMPARE(fromFifo.error->code, ENXIO);
    const OpenedFile fromDir = openFile(dir.path());
    QCOMPARE(fromDir.error->code, EISDIR);
    const OpenedFile missing = openFile(dir.filePath("nope.txt"));
    QCOMPARE(missing.error->code, ENOENT);
    QCOMPARE(missing.error->reason(), QStringLiteral("文件或文件夹不存在"));
}

QTEST_GUILESS_MAIN(ServicesTest)
#include "tst_services.moc"
