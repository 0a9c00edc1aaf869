#include "app/appstate.h"
#include "scripteddialogs.h"
#include "services/encoding.h"
#include "testfiles.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray gbk(const QString& text)
{
    return encodeText(text, Encoding::Gb18030);
}

void chmodPath(const QString& path, mode_t mode)
{
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

}  // namespace

class ReplaceHandlersTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void choicesAppendToTheBox();
    void cancelledChoiceEmptiesTheList();
    void twoClicksReplaceTwiceInEveryEncoding();
    void failedFilesAreListedInsteadOfSuccess_data();
    void failedFilesAreListedInsteadOfSuccess();
    void emptyTargetChangesNothing();
    void cancelStopsBeforeTheNextFile();

private:
    void choose(const TextList& answer);
    void replace(const QString& target, const QString& replacement, bool caseSensitive);

    std::unique_ptr<MainWindow> window_;
    std::shared_ptr<ScriptedDialogs> dialogs_;
    QTemporaryDir folder_;
};

void ReplaceHandlersTest::init()
{
    initAppState();
    dialogs_ = installScriptedDialogs();
    window_ = std::make_unique<MainWindow>();
    window_->show();
}

void ReplaceHandlersTest::cleanup()
{
    QCOMPARE(dialogs_->unexpected, 0);
    window_.reset();
    releaseAppState();
}

void ReplaceHandlersTest::choose(const TextList& answer)
{
    dialogs_->fileListAnswers.push_back(answer);
    QTest::mouseClick(controls().文本替换选择文件按钮, Qt::LeftButton);
}

void ReplaceHandlersTest::replace(const QString& target, const QString& replacement, bool caseSensitive)
{
    controls().替换文本目标文字填写框->setText(target);
    controls().替换文本填写框->setText(replacement);
    controls().区分大小写选择框->setChecked(caseSensitive);
    QTest::mouseClick(controls().文本替换按扭, Qt::LeftButton);
}

void ReplaceHandlersTest::choicesAppendToTheBox()
{
    const TextList first{"/a/1.txt", "/a/2.txt"}, second{"/b/3.txt", "/b/4.txt", "/b/5.txt"};
    choose(first);
    QCOMPARE(appState().selectedFiles, first);
    choose(second);
    QCOMPARE(appState().selectedFiles, second);
    QCOMPARE(controls().选择到文件显示框->toPlainText(), QString("/a/1.txt\n/a/2.txt\n/b/3.txt\n/b/4.txt\n/b/5.txt\n"));
    QCOMPARE(dialogs_->fileListRequests.size(), 2);
    QCOMPARE(dialogs_->fileListRequests.first(), std::make_pair(Text("请选择！"), Text("文本文件|*.txt")));
}

void ReplaceHandlersTest::cancelledChoiceEmptiesTheList()
{
    const QString path = folder_.filePath("a.txt");
    QVERIFY(writeBytes(path, "abc"));
    choose({path});
    choose({});
    QVERIFY(appState().selectedFiles.isEmpty());
    QCOMPARE(controls().选择到文件显示框->toPlainText(), path + "\n");
    replace("b", "x", true);
    QCOMPARE(readBytes(path), QByteArray("abc"));
    QVERIFY(dialogs_->messages().isEmpty());
    QVERIFY(dialogs_->progressReports().isEmpty());
}

void ReplaceHandlersTest::twoClicksReplaceTwiceInEveryEncoding()
{
    const QString gbkFile = folder_.filePath("gbk.txt"), utf8File = folder_.filePath("utf8.txt");
    QVERIFY(writeBytes(gbkFile, gbk("中文 Abc\r\n")));
    QVERIFY(writeBytes(utf8File, QString("abc 中文\n").toUtf8()));
    choose({gbkFile, utf8File});
    // A split source chosen before: a replacement run drops it.
    appState().currentFile = openFile(gbkFile).handle;
    appState().loadedText = "left over";

    replace("文", "文字", true);
    replace("文", "文字", true);
    replace("ABC", "甲", false);
    QCOMPARE(readBytes(gbkFile), gbk("中文字字 甲\r\n"));
    QCOMPARE(readBytes(utf8File), QString("甲 中文字字\n").toUtf8());

    QVERIFY(!appState().currentFile.isOpen());
    QVERIFY(appState().loadedText.isEmpty());
    QVERIFY(appState().replacedText.isEmpty());
    QCOMPARE(appState().selectedFiles, TextList({gbkFile, utf8File}));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 3);
    for (const auto& message : messages) {
        QCOMPARE(message.title, QString("信息："));
        QCOMPARE(message.text, QString("当前需要替换文本的文件已经成功替换！"));
    }
    const auto reports = dialogs_->progressReports();
    QCOMPARE(reports.size(), 3);
    QVERIFY(reports[0].modal && reports[0].cancellable && reports[0].closed);
}

void ReplaceHandlersTest::failedFilesAreListedInsteadOfSuccess_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing file") << "missing" << "文件或文件夹不存在";
    QTest::newRow("read-only file") << "read-only" << "没有访问权限";
    QTest::newRow("read-only folder is no failure") << "read-only folder" << "";
}

void ReplaceHandlersTest::failedFilesAreListedInsteadOfSuccess()
{
    QFETCH(QString, failure);
    QFETCH(QString, reason);
    QTemporaryDir folder, locked;
    chmodPath(folder.path(), 0777);
    const QString good1 = folder.filePath("1.txt"), good2 = folder.filePath("2.txt");
    const QString odd = locked.filePath("odd.txt");
    QVERIFY(writeBytes(good1, "a-b"));
    QVERIFY(writeBytes(good2, "b-a"));
    chmodPath(good1, 0666);
    chmodPath(good2, 0666);
    if (failure != "missing") {
        QVERIFY(writeBytes(odd, "aaa"));
        chmodPath(odd, failure == "read-only" ? 0444 : 0666);
    }
    chmodPath(locked.path(), failure == "read-only folder" ? 0555 : 0777);
    choose({good1, odd, good2});
    {
        ScopedUnprivileged nobody;
        QVERIFY(nobody.ok());
        replace("a", "c", true);
    }
    chmodPath(locked.path(), 0755);
    QCOMPARE(readBytes(good1), QByteArray("c-b"));
    QCOMPARE(readBytes(good2), QByteArray("b-c"));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    if (reason.isEmpty()) {
        QCOMPARE(readBytes(odd), QByteArray("ccc"));
        QCOMPARE(messages[0].title, QString("信息："));
    } else {
        QCOMPARE(messages[0].title, QString("警告！"));
        QVERIFY2(messages[0].text.contains(odd + "：" + reason), qPrintable(messages[0].text));
        QVERIFY(!messages[0].text.contains(good1));
        if (failure == "read-only")
            QCOMPARE(readBytes(odd), QByteArray("aaa"));
    }
}

void ReplaceHandlersTest::emptyTargetChangesNothing()
{
    const QString path = folder_.filePath("a.txt");
    QVERIFY(writeBytes(path, "abc"));
    choose({path});
    replace("", "x", true);
    QCOMPARE(readBytes(path), QByteArray("abc"));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QString("警告！"));
}

void ReplaceHandlersTest::cancelStopsBeforeTheNextFile()
{
    TextList paths;
    for (int i = 0; i < 3; ++i) {
        paths << folder_.filePath(QString("%1.txt").arg(i));
        QVERIFY(writeBytes(paths.last(), "old"));
    }
    choose(paths);
    dialogs_->cancelProgressAfterUpdates = 1;  // the user cancels while the first file is done
    replace("old", "new", true);
    QCOMPARE(readBytes(paths[0]), QByteArray("new"));
    QCOMPARE(readBytes(paths[1]), QByteArray("old"));
    QCOMPARE(readBytes(paths[2]), QByteArray("old"));
    const auto messages = dialogs_->messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QString("信息："));
    QVERIFY2(messages[0].text.contains("已处理 1 个文件，共 3 个"), qPrintable(messages[0].text));
}

QTEST_MAIN(ReplaceHandlersTest)
#include "tst_replacehandlers.moc"
