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
    void validatorAgreesAcrossChunkEdges();
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

void ServicesTest::validatorAgreesAcrossChunkEdges()
{
    // Fed in pieces, the validator must reach the verdict it reaches on the
    // whole: a character split between two pieces is still valid, a cut-off
    // one at the very end is not, and an invalid byte far in is still found.
    const QByteArray text = QString("中文 text 😀 ").toUtf8().repeated(300);
    const QByteArray broken = text + QByteArray(5000, 'b') + "\xD6\xD0" + text;
    const QByteArray cutOff = text + QByteArray("\xE4\xB8");
    for (const QByteArray& bytes : {text, broken, cutOff}) {
        const bool whole = ::detectEncoding(bytes).encoding == Encoding::Utf8;
        for (qsizetype piece : {1, 2, 3, 7, 64, 4096}) {
            Utf8Validator validator;
            for (qsizetype at = 0; at < bytes.size(); at += piece)
                validator.feed(QByteArrayView(bytes.constData() + at, std::min(piece, bytes.size() - at)));
            QCOMPARE(validator.finish(), whole);
        }
    }
    QCOMPARE(::detectEncoding(text).encoding, Encoding::Utf8);
    QCOMPARE(::detectEncoding(broken).encoding, Encoding::Gb18030);
    QCOMPARE(::detectEncoding(cutOff).encoding, Encoding::Gb18030);
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
