// Both jobs through their buttons on a source above 4 GiB. The files are
// sparse, so they cost no disk, and must stay so: a split or a rewrite that
// wrote out every hole would fill the disk with zeros.

#include "app/appstate.h"
#include "faultfixture.h"
#include "scripteddialogs.h"
#include "split/splithandlers.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowcontrols.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr std::int64_t fourGiB = std::int64_t{1} << 32;

}  // namespace

class LargeFaultsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void splitAboveFourGiB();
    void replaceNearTheEndAboveFourGiB();

private:
    std::unique_ptr<MainWindow> window_;
    std::shared_ptr<ScriptedDialogs> dialogs_;
    std::unique_ptr<QTemporaryDir> dir_;
    int descriptors_ = 0;
};

void LargeFaultsTest::init()
{
    initAppState();
    dialogs_ = installScriptedDialogs();
    window_ = std::make_unique<MainWindow>();
    window_->show();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QTest::qWait(10);
    descriptors_ = openDescriptorCount();
}

void LargeFaultsTest::cleanup()
{
    finishRunningSplits();
    QCOMPARE(dialogs_->unexpected, 0);
    appState().currentFile = FileHandle();
    window_.reset();
    releaseAppState();
    setDialogs(nullptr);
    dir_.reset();
}

void LargeFaultsTest::splitAboveFourGiB()
{
    const QString source = dir_->filePath("huge.txt");
    const std::int64_t length = fourGiB + (3 << 20);
    // A two-byte character across the 4 GiB line and text at both ends.
    const QByteArray head = "start 开头\n", across = "é", tail = "\n末尾 end";
    if (!makeSparse(source, length, {{0, head}, {fourGiB - 1, across}, {length - tail.size(), tail}}))
        QSKIP("this file system does not keep sparse files");
    const QString folder = dir_->filePath("out");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(writeBytes(folder + "/1.txt", "earlier"));

    dialogs_->oneFileAnswers.push_back(source);
    QTest::mouseClick(controls().选择单个分割文件按钮, Qt::LeftButton);
    dialogs_->folderAnswers.push_back(folder);
    controls().分割文本文件份数填写框->setText("3");
    QTest::mouseClick(controls().文本分割按扭, Qt::LeftButton);
    QVERIFY(dialogs_->waitForMessages(1, 300000));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages[0].title, QStringLiteral("信息："));
    QCOMPARE(messages[0].text, QStringLiteral("当前需要分割的文件已经成功的分割为3份！"));

    QCOMPARE(temporariesIn(folder), QStringList());
    std::int64_t total = 0;
    QList<std::int64_t> starts;
    for (int i = 1; i <= 3; ++i) {
        const PathInfo part = pathInfo(folder + QStringLiteral("/%1.txt").arg(i));
        QVERIFY(part.exists);
        QVERIFY2(part.allocated < (16 << 20), qPrintable(QStringLiteral("part %1 holds %2 bytes on disk").arg(i).arg(part.allocated)));
        starts << total;
        total += part.size;
    }
    QCOMPARE(total, length);
    // Each sampled byte is where the parts put together say it is.
    auto sample = [&](std::int64_t offset, std::int64_t count) {
        int i = 2;
        while (i > 0 && starts[i] > offset)
            --i;
        return bytesAt(folder + QStringLiteral("/%1.txt").arg(i + 1), offset - starts[i], count);
    };
    QCOMPARE(sample(0, head.size()), head);
    QCOMPARE(sample(fourGiB - 1, across.size()), across);
    QCOMPARE(sample(length - tail.size(), tail.size()), tail);
    QCOMPARE(sample(fourGiB + 17, 4), QByteArray(4, '\0'));
    QVERIFY(pathInfo(source).allocated < (16 << 20));
    appState().currentFile = FileHandle();
    QCOMPARE(openDescriptorCount(), descriptors_);
}

void LargeFaultsTest::replaceNearTheEndAboveFourGiB()
{
    const QString path = dir_->filePath("huge.txt");
    const std::int64_t length = fourGiB + (512 << 20);
    const QByteArray head = "start 开头 ", tail = " 旧文字 old text end";
    if (!makeSparse(path, length, {{0, head}, {length - tail.size(), tail}}))
        QSKIP("this file system does not keep sparse files");
    dialogs_->fileListAnswers.push_back({path});
    QTest::mouseClick(controls().文本替换选择文件按钮, Qt::LeftButton);
    controls().替换文本目标文字填写框->setText("旧文字");
    controls().替换文本填写框->setText("新的文字");
    controls().区分大小写选择框->setChecked(true);
    QTest::mouseClick(controls().文本替换按扭, Qt::LeftButton);
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QStringLiteral("信息："));

    const QByteArray newTail = QStringLiteral(" 新的文字 old text end").toUtf8();
    const PathInfo after = pathInfo(path);
    QCOMPARE(after.size, length - tail.size() + newTail.size());
    QCOMPARE(bytesAt(path, 0, head.size()), head);
    QCOMPARE(bytesAt(path, after.size - newTail.size(), newTail.size()), newTail);
    QCOMPARE(bytesAt(path, fourGiB, 8), QByteArray(8, '\0'));
    QVERIFY2(after.allocated < (16 << 20), qPrintable(QStringLiteral("the rewritten file holds %1 bytes on disk").arg(after.allocated)));
    QCOMPARE(temporariesIn(dir_->path()), QStringList());
    QCOMPARE(openDescriptorCount(), descriptors_);
}

QTEST_MAIN(LargeFaultsTest)
#include "tst_faults_large.moc"
