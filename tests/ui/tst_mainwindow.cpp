#include "app/skin.h"
#include "scripteddialogs.h"
#include "testfiles.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace {

QStringList capturedWarnings;

void captureWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg)
        capturedWarnings.append(message);
}

// The text a control shows as its caption, if it has one.
QString captionOf(QWidget* w)
{
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text().contains(u'<') ? QStringLiteral("使用说明") : l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* e = qobject_cast<QPlainTextEdit*>(w))
        return e->toPlainText();
    return {};
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void controlsStandWhereTheyBelong_data();
    void controlsStandWhereTheyBelong();
    void windowIsFixedWithCaptionAndIcon();
    void fileDialogOffersTextFilesOnly();
    void eachButtonRunsItsHandler();
    void shippedSkinParsesAndCaptionsFit();
    void skinFileAbsentEmptyOrBroken();
    void windowAppliesSkinBesideProgramAndRemovesIt();

private:
    std::unique_ptr<MainWindow> window_;
};

void MainWindowTest::init()
{
    installScriptedDialogs();
    qApp->setStyleSheet(QString());
    window_ = std::make_unique<MainWindow>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void MainWindowTest::cleanup()
{
    window_.reset();
    qApp->setStyleSheet(QString());
}

void MainWindowTest::controlsStandWhereTheyBelong_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRect>("rect");  // relative to its parent
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("takesFocus");
    const QString w = "MainWindow", g2 = "分组框2";
    QTest::newRow("分组框1") << "QGroupBox" << QRect(3, 3, 350, 64) << w << "分割文本文件：" << false;
    QTest::newRow("选择单个分割文件按钮") << "QPushButton" << QRect(7, 18, 65, 18) << w << "选择文件" << true;
    QTest::newRow("分割文件地址框") << "QLineEdit" << QRect(80, 18, 265, 18) << w << "" << true;
    QTest::newRow("标签3") << "QLabel" << QRect(67, 42, 53, 18) << w << "需要分割" << false;
    QTest::newRow("分割文本文件份数填写框") << "QLineEdit" << QRect(123, 42, 103, 18) << w << "" << true;
    QTest::newRow("标签7") << "QLabel" << QRect(237, 42, 14, 18) << w << "份" << false;
    QTest::newRow("文本分割按扭") << "QPushButton" << QRect(276, 42, 59, 18) << w << "分割文件" << true;
    QTest::newRow("分组框2") << "QGroupBox" << QRect(3, 72, 350, 225) << w << "文本替换：" << false;
    QTest::newRow("文本替换选择文件按钮") << "QPushButton" << QRect(7, 87, 65, 18) << w << "选择文件" << true;
    QTest::newRow("选择到文件显示框") << "QPlainTextEdit" << QRect(80, 87, 265, 120) << w << "" << true;
    QTest::newRow("超级链接框1") << "QLabel" << QRect(5, 120, 64, 16) << g2 << "使用说明" << false;
    QTest::newRow("分组框3") << "QGroupBox" << QRect(8, 139, 245, 40) << g2 << "目标文字" << false;
    QTest::newRow("替换文本目标文字填写框") << "QLineEdit" << QRect(19, 225, 228, 19) << w << "" << true;
    QTest::newRow("区分大小写选择框") << "QCheckBox" << QRect(269, 147, 72, 32) << g2 << "是否区分大小写" << true;
    QTest::newRow("分组框4") << "QGroupBox" << QRect(8, 179, 245, 40) << g2 << "替换文字" << false;
    QTest::newRow("替换文本填写框") << "QLineEdit" << QRect(19, 267, 228, 19) << w << "" << true;
    QTest::newRow("文本替换按扭") << "QPushButton" << QRect(275, 256, 61, 32) << w << "替换" << true;
    QTest::newRow("标签1") << "QLabel" << QRect(256, 296, 96, 16) << w << "文本分割替换器 1.0" << false;
}

void MainWindowTest::controlsStandWhereTheyBelong()
{
    QFETCH(QString, kind);
    QFETCH(QRect, rect);
    QFETCH(QString, parent);
    QFETCH(QString, caption);
    QFETCH(bool, takesFocus);
    const QString name = QString::fromUtf8(QTest::currentDataTag());
    auto* control = window_->findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    QVERIFY(control->inherits(kind.toLatin1()));
    QCOMPARE(control->geometry(), rect);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QCOMPARE(captionOf(control), caption);
    if (!caption.isEmpty())
        QCOMPARE(control->accessibleName(), caption);
    QVERIFY(control->isVisible());
    QVERIFY(control->isEnabled());
    QCOMPARE(bool(control->focusPolicy() & Qt::TabFocus), takesFocus);
    // Controls over a group box's frame must be on top of it, so that clicks reach them.
    if (qobject_cast<QGroupBox*>(control))
        return;
    const QPoint centre = control->mapTo(window_.get(), control->rect().center());
    QWidget* hit = window_->childAt(centre);
    QVERIFY2(hit == control || control->isAncestorOf(hit), qPrintable(name));
}

void MainWindowTest::windowIsFixedWithCaptionAndIcon()
{
    QCOMPARE(window_->windowTitle(), QStringLiteral("文本分割替换器"));
    // The outer rectangle, frame included, whatever frame the platform draws.
    QCOMPARE(window_->frameGeometry(), QRect(50, 50, 361, 345));
    QVERIFY(window_->width() >= 353 && window_->height() >= 312);
    QCOMPARE(window_->minimumSize(), window_->maximumSize());
    QVERIFY(!(window_->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window_->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
    QVERIFY(!window_->windowIcon().isNull());
    // Everything starts empty and unticked.
    for (auto* edit : window_->findChildren<QLineEdit*>())
        QVERIFY(edit->text().isEmpty());
    QVERIFY(window_->windowControls().选择到文件显示框->toPlainText().isEmpty());
    QVERIFY(!window_->windowControls().区分大小写选择框->isChecked());
    // The help link leads to a file shipped with the program, nothing invented.
    QVERIFY(window_->windowControls().超级链接框1->text().contains(QUrl::fromLocalFile(helpFilePath()).toString()));
}

void MainWindowTest::fileDialogOffersTextFilesOnly()
{
    QFileDialog* dialog = window_->windowControls().通用对话框1;
    QCOMPARE(dialog->objectName(), QStringLiteral("通用对话框1"));
    QCOMPARE(dialog->parentWidget(), window_.get());
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("文本文件 (*.txt)")});
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
    QVERIFY(!dialog->isVisible());
}

void MainWindowTest::eachButtonRunsItsHandler()
{
    auto scripted = installScriptedDialogs();
    const MainWindowControls& c = window_->windowControls();

    QTest::mouseClick(c.选择单个分割文件按钮, Qt::LeftButton);  // cancelled
    QCOMPARE(scripted->oneFileRequests, 1);

    QTest::mouseClick(c.文本分割按扭, Qt::LeftButton);  // folder browser cancelled
    QCOMPARE(scripted->folderTitles, QList<Text>{QStringLiteral("请选择存放路径")});
    QCOMPARE(scripted->messages().size(), 1);
    QCOMPARE(scripted->messages().front().text, QStringLiteral("请选择一个存放目录！"));

    QTest::mouseClick(c.文本替换选择文件按钮, Qt::LeftButton);  // cancelled
    QCOMPARE(scripted->fileListRequests.size(), 1);
    QCOMPARE(scripted->fileListRequests.front().first, QStringLiteral("请选择！"));

    // Nothing chosen for replacement: the replace button does nothing visible.
    QTest::mouseClick(c.文本替换按扭, Qt::LeftButton);
    QCOMPARE(scripted->messages().size(), 1);
    QCOMPARE(scripted->unexpected, 3);  // the three cancelled dialogs, nothing else
}

void MainWindowTest::shippedSkinParsesAndCaptionsFit()
{
    capturedWarnings.clear();
    const auto previous = qInstallMessageHandler(captureWarnings);
    QVERIFY(loadSkin(QStringLiteral(SHIPPED_SKIN)));
    window_->grab();  // polishes every control under the skin
    qInstallMessageHandler(previous);
    QVERIFY2(capturedWarnings.filter(QStringLiteral("parse")).isEmpty(), qPrintable(capturedWarnings.join('\n')));

    // Each caption fits in its fixed box under the skin's font.
    for (auto* button : window_->findChildren<QPushButton*>()) {
        const int needed = button->fontMetrics().horizontalAdvance(button->text());
        QVERIFY2(needed + 4 <= button->width(), qPrintable(button->objectName()));
        QVERIFY2(button->fontMetrics().height() <= button->height(), qPrintable(button->objectName()));
    }
    for (auto* label : window_->findChildren<QLabel*>()) {
        const QString text = label->text().contains(u'<') ? QStringLiteral("使用说明") : label->text();
        QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= label->width(), qPrintable(label->objectName()));
    }
    QCheckBox* box = window_->windowControls().区分大小写选择框;
    const QRect wrapped = box->fontMetrics().boundingRect(QRect(0, 0, box->width() - 18, 1000), Qt::TextWordWrap,
                                                           box->text());
    QVERIFY(wrapped.height() <= box->height());
}

void MainWindowTest::skinFileAbsentEmptyOrBroken()
{
    QTemporaryDir dir;
    QVERIFY(!loadSkin(dir.filePath("PF.skn")));
    QVERIFY(qApp->styleSheet().isEmpty());

    QVERIFY(writeBytes(dir.filePath("empty.skn"), "  \n"));
    QVERIFY(!loadSkin(dir.filePath("empty.skn")));
    QVERIFY(qApp->styleSheet().isEmpty());

    // A sheet Qt cannot parse leaves Qt's own look; the window keeps working.
    QVERIFY(writeBytes(dir.filePath("broken.skn"), "QPushButton { color: ; {{{ \xff\xfe"));
    capturedWarnings.clear();
    const auto previous = qInstallMessageHandler(captureWarnings);
    loadSkin(dir.filePath("broken.skn"));
    const QImage look = window_->grab().toImage();
    qInstallMessageHandler(previous);
    QVERIFY(!look.isNull());
    QTest::mouseClick(window_->windowControls().区分大小写选择框, Qt::LeftButton);
    QVERIFY(window_->windowControls().区分大小写选择框->isChecked());
}

void MainWindowTest::windowAppliesSkinBesideProgramAndRemovesIt()
{
    window_.reset();
    QCOMPARE(skinPath(), programDirectory() + QDir::separator() + QStringLiteral("PF.skn"));
    QCOMPARE(programDirectory(), QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath());

    const QByteArray sheet = "QPushButton { color: #123456; }";
    QVERIFY(writeBytes(skinPath(), sheet));
    window_ = std::make_unique<MainWindow>();
    QFile::remove(skinPath());
    QCOMPARE(qApp->styleSheet(), QString::fromUtf8(sheet));
    window_.reset();  // about to be destroyed: the skin comes off
    QVERIFY(qApp->styleSheet().isEmpty());
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
