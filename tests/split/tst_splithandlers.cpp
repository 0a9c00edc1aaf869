#include "app/appstate.h"
#include "faults.h"
#include "scripteddialogs.h"
#include "split/splithandlers.h"
#include "testfiles.h"
#include "ui/mainwindow.h"

#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString warning = QStringLiteral("警告！");
const QString information = QStringLiteral("信息：");
const QString sourceText = QStringLiteral("第一行中文\r\n第二行 mixed ASCII\r\n第三行。\n").repeated(50);

}  // namespace

class SplitHandlersTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void refusals_data();
    void refusals();
    void noSourceIsWarned_data();
    void noSourceIsWarned();
    void fullRoadSplitsAndSplitsAgain();
    void partThatCannotBeWrittenIsWarned();
    void clickWhileSplittingIsToldToWait();
    void closingCancelsAndLeavesNothingHalfDone();
    void droppedSourcesAreClosed();

private:
    void chooseSource(const QString& path);
    std::unique_ptr<MainWindow> window_;
    std::shared_ptr<ScriptedDialogs> dialogs_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString sourcePath_;
    QString folder_;
};

void SplitHandlersTest::init()
{
    initAppState();
    dialogs_ = installScriptedDialogs();
    window_ = std::make_unique<MainWindow>();
    dir_ = std::make_unique<QTemporaryDir>();
    sourcePath_ = dir_->filePath("source.txt");
    QVERIFY(writeBytes(sourcePath_, sourceText.toUtf8()));
    QVERIFY(QDir(dir_->path()).mkdir("out"));
    folder_ = dir_->filePath("out");
}

void SplitHandlersTest::cleanup()
{
    finishRunningSplits();
    QCOMPARE(dialogs_->unexpected, 0);
    window_.reset();
    appState().currentFile = FileHandle();
    setDialogs(nullptr);
}

void SplitHandlersTest::chooseSource(const QString& path)
{
    dialogs_->oneFileAnswers.push_back(path);
    chooseSplitSource();
    QCOMPARE(controls().分割文件地址框->text(), path);
}

void SplitHandlersTest::refusals_data()
{
    QTest::addColumn<bool>("folderChosen");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("partCount");  // what the state holds afterwards
    QTest::newRow("folder browser cancelled") << false << "5" << "请选择一个存放目录！" << 77;
    QTest::newRow("count empty") << true << "" << "请填写一种分割模式！" << 0;
    QTest::newRow("count zero") << true << "0" << "请填写一种分割模式！" << 0;
    QTest::newRow("count negative") << true << "-3" << "请填写一种分割模式！" << -3;
    QTest::newRow("count not a number") << true << "abc" << "请填写一种分割模式！" << 0;
}

void SplitHandlersTest::refusals()
{
    QFETCH(bool, folderChosen);
    QFETCH(QString, count);
    QFETCH(QString, message);
    QFETCH(int, partCount);
    chooseSource(sourcePath_);
    appState().partCount = 77;
    controls().分割文本文件份数填写框->setText(count);
    dialogs_->folderAnswers.push_back(folderChosen ? folder_ : QString());
    startSplit();
    QCOMPARE(dialogs_->folderTitles, QList<Text>{"请选择存放路径"});
    QCOMPARE(dialogs_->messages().size(), 1);
    QCOMPARE(dialogs_->messages()[0].title, warning);
    QCOMPARE(dialogs_->messages()[0].text, message);
    QCOMPARE(appState().outputFolder, folderChosen ? folder_ : QString());
    QCOMPARE(appState().partCount, partCount);
    QVERIFY(dialogs_->progressReports().isEmpty());
    QVERIFY(folderEntries(folder_).isEmpty());
}

void SplitHandlersTest::noSourceIsWarned_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("never chosen") << "never";
    QTest::newRow("dialog cancelled after a choice") << "cancelled";
    QTest::newRow("dropped by a replacement run") << "dropped";
    QTest::newRow("chosen file cannot be opened") << "missing";
}

void SplitHandlersTest::noSourceIsWarned()
{
    QFETCH(QString, how);
    if (how == "cancelled") {
        chooseSource(sourcePath_);
        dialogs_->oneFileAnswers.push_back(std::nullopt);
        chooseSplitSource();
        QCOMPARE(controls().分割文件地址框->text(), sourcePath_);  // the box keeps the earlier path
    } else if (how == "dropped") {
        chooseSource(sourcePath_);
        appState().currentFile = FileHandle();
    } else if (how == "missing") {
        chooseSource(dir_->filePath("gone.txt"));
    }
    controls().分割文本文件份数填写框->setText("2");
    dialogs_->folderAnswers.push_back(folder_);
    startSplit();
    QVERIFY(dialogs_->waitForMessages(1));
    QTest::qWait(50);
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, warning);
    if (how == "missing") {
        QVERIFY2(messages[0].text.contains(dir_->filePath("gone.txt")), qPrintable(messages[0].text));
        QVERIFY2(messages[0].text.contains("不存在"), qPrintable(messages[0].text));
    } else {
        QVERIFY2(messages[0].text.contains("还没有选择要分割的文件"), qPrintable(messages[0].text));
    }
    QVERIFY(folderEntries(folder_).isEmpty());
}

void SplitHandlersTest::fullRoadSplitsAndSplitsAgain()
{
    chooseSource(sourcePath_);
    for (int parts : {3, 2}) {
        dialogs_->clearMessages();
        controls().分割文本文件份数填写框->setText(QString::number(parts));
        dialogs_->folderAnswers.push_back(folder_);
        startSplit();
        QVERIFY(dialogs_->waitForMessages(1));
        const auto messages = dialogs_->messages();
        QCOMPARE(messages[0].title, information);
        QCOMPARE(messages[0].text, QStringLiteral("当前需要分割的文件已经成功的分割为%1份！").arg(parts));
        QByteArray joined;
        for (int i = 1; i <= parts; ++i)
            joined += readBytes(folder_ + QStringLiteral("/%1.txt").arg(i));
        QCOMPARE(joined, sourceText.toUtf8());
    }
    // The first split made a 3.txt; the second leaves it alone.
    QCOMPARE(folderEntries(folder_), (QStringList{"1.txt", "2.txt", "3.txt"}));
    const auto reports = dialogs_->progressReports();
    QVERIFY(!reports.isEmpty());
    QVERIFY(!reports.last().modal);
    QVERIFY(reports.last().cancellable);
    QVERIFY(reports.last().closed);
}

void SplitHandlersTest::partThatCannotBeWrittenIsWarned()
{
    QVERIFY(writeBytes(folder_ + "/1.txt", "earlier"));
    QVERIFY(QDir(folder_).mkdir("2.txt"));
    chooseSource(sourcePath_);
    controls().分割文本文件份数填写框->setText("3");
    dialogs_->folderAnswers.push_back(folder_);
    startSplit();
    QVERIFY(dialogs_->waitForMessages(1));
    QTest::qWait(50);
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, warning);
    QVERIFY2(messages[0].text.contains(folder_ + "/2.txt"), qPrintable(messages[0].text));
    QVERIFY2(messages[0].text.contains("文件夹"), qPrintable(messages[0].text));
    QCOMPARE(readBytes(folder_ + "/1.txt"), QByteArray("earlier"));
    QCOMPARE(folderEntries(folder_), (QStringList{"1.txt", "2.txt"}));
}

void SplitHandlersTest::clickWhileSplittingIsToldToWait()
{
    chooseSource(sourcePath_);
    controls().分割文本文件份数填写框->setText("4");
    dialogs_->folderAnswers.push_back(folder_);
    startSplit();
    // The first split is not over before the event loop has run again.
    startSplit();
    QCOMPARE(dialogs_->folderTitles.size(), 1);
    QVERIFY(dialogs_->waitForMessages(2));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages[0].title, warning);
    QVERIFY2(messages[0].text.contains("请等待"), qPrintable(messages[0].text));
    QCOMPARE(messages[1].text, QStringLiteral("当前需要分割的文件已经成功的分割为4份！"));
}

void SplitHandlersTest::closingCancelsAndLeavesNothingHalfDone()
{
    // Many parts keep the split busy long enough for the close to land in it;
    // either way the folder holds all of the parts or none, and no temporary.
    chooseSource(sourcePath_);
    controls().分割文本文件份数填写框->setText("20000");
    dialogs_->folderAnswers.push_back(folder_);
    startSplit();
    finishRunningSplits();
    const QStringList entries = folderEntries(folder_);
    QVERIFY2(entries.isEmpty() || entries.size() == 20000, qPrintable(QString::number(entries.size())));
    QVERIFY(std::none_of(entries.begin(), entries.end(), [](const QString& name) { return name.startsWith('.'); }));
    QTest::qWait(50);
    QVERIFY(dialogs_->messages().isEmpty());
}

void SplitHandlersTest::droppedSourcesAreClosed()
{
    chooseSource(sourcePath_);
    QCOMPARE(openDescriptorsTo(sourcePath_), 1);
    for (int i = 0; i < 200; ++i)
        chooseSource(sourcePath_);
    QCOMPARE(openDescriptorsTo(sourcePath_), 1);
}

QTEST_MAIN(SplitHandlersTest)
#include "tst_splithandlers.moc"
