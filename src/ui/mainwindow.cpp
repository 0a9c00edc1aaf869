#include "ui/mainwindow.h"

#include "app/skin.h"
#include "replace/replacehandlers.h"
#include "split/splithandlers.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "ui/wrappingcheckbox.h"

namespace {

MainWindow*& openWindow()
{
    static MainWindow* window = nullptr;
    return window;
}

// Places a control at its fixed rectangle and names it, so that tests and
// accessibility tools find it by the name the window description gives it.
template <typename Control>
Control* place(Control* control, const char* name, int x, int y, int width, int height, const QString& caption = {})
{
    control->setObjectName(QString::fromUtf8(name));
    control->setGeometry(x, y, width, height);
    if (!caption.isEmpty())
        control->setAccessibleName(caption);
    return control;
}

QLabel* makeLabel(QWidget* parent, const QString& caption)
{
    auto* label = new QLabel(caption, parent);
    label->setFocusPolicy(Qt::NoFocus);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

}  // namespace

MainWindowControls& controls()
{
    Q_ASSERT(openWindow());
    return openWindow()->windowControls();
}

MainWindow::MainWindow()
{
    openWindow() = this;
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("文本分割替换器"));
    setWindowIcon(QIcon(QStringLiteral(":/splitreplace-32.png")));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    // Without a window manager there is no frame: the client area is the whole rectangle.
    setFixedSize(outerRect.size());
    move(outerRect.topLeft());

    createControls();
    wireEvents();

    // The window now exists: event 0.
    onMainWindowCreated();
}

MainWindow::~MainWindow()
{
    // The window is about to be destroyed: event 2.
    onMainWindowEvent2();
    if (openWindow() == this)
        openWindow() = nullptr;
}

void MainWindow::createControls()
{
    MainWindowControls& c = controls_;

    // Group boxes first, so that the controls drawn over their frames stay on top.
    c.分组框1 = place(new QGroupBox(QStringLiteral("分割文本文件："), this), "分组框1", 3, 3, 350, 64,
                      QStringLiteral("分割文本文件："));
    c.分组框2 = place(new QGroupBox(QStringLiteral("文本替换："), this), "分组框2", 3, 72, 350, 225,
                      QStringLiteral("文本替换："));

    // Split group.
    c.选择单个分割文件按钮 = place(new QPushButton(QStringLiteral("选择文件"), this), "选择单个分割文件按钮", 7, 18,
                                   65, 18, QStringLiteral("选择文件"));
    c.分割文件地址框 = place(new QLineEdit(this), "分割文件地址框", 80, 18, 265, 18);
    // It shows the chosen file; typing a path there would suggest it picks one.
    c.分割文件地址框->setReadOnly(true);
    c.分割文件地址框->setAccessibleName(QStringLiteral("分割文件地址"));
    c.标签3 = place(makeLabel(this, QStringLiteral("需要分割")), "标签3", 67, 42, 53, 18, QStringLiteral("需要分割"));
    c.分割文本文件份数填写框 = place(new QLineEdit(this), "分割文本文件份数填写框", 123, 42, 103, 18);
    c.分割文本文件份数填写框->setAccessibleName(QStringLiteral("分割份数"));
    c.标签7 = place(makeLabel(this, QStringLiteral("份")), "标签7", 237, 42, 14, 18, QStringLiteral("份"));
    c.文本分割按扭 = place(new QPushButton(QStringLiteral("分割文件"), this), "文本分割按扭", 276, 42, 59, 18,
                           QStringLiteral("分割文件"));

    // Replacement group; four of its controls belong to the group box itself.
    c.文本替换选择文件按钮 = place(new QPushButton(QStringLiteral("选择文件"), this), "文本替换选择文件按钮", 7, 87,
                                   65, 18, QStringLiteral("选择文件"));
    c.选择到文件显示框 = place(new QPlainTextEdit(this), "选择到文件显示框", 80, 87, 265, 120);
    c.选择到文件显示框->setReadOnly(true);
    c.选择到文件显示框->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    c.选择到文件显示框->setAccessibleName(QStringLiteral("选择到的文件"));

    c.超级链接框1 = place(new QLabel(c.分组框2), "超级链接框1", 5, 120, 64, 16, QStringLiteral("使用说明"));
    const QUrl help = QUrl::fromLocalFile(helpFilePath());
    c.超级链接框1->setText(QStringLiteral("<a href=\"%1\">使用说明</a>").arg(help.toString(QUrl::FullyEncoded)));
    c.超级链接框1->setTextFormat(Qt::RichText);
    c.超级链接框1->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    c.超级链接框1->setOpenExternalLinks(true);
    c.超级链接框1->setFocusPolicy(Qt::NoFocus);
    c.超级链接框1->setToolTip(help.toLocalFile());

    c.分组框3 = place(new QGroupBox(QStringLiteral("目标文字"), c.分组框2), "分组框3", 8, 139, 245, 40,
                      QStringLiteral("目标文字"));
    c.区分大小写选择框 = place(new WrappingCheckBox(QStringLiteral("是否区分大小写"), c.分组框2), "区分大小写选择框",
                               269, 147, 72, 32, QStringLiteral("是否区分大小写"));
    c.分组框4 = place(new QGroupBox(QStringLiteral("替换文字"), c.分组框2), "分组框4", 8, 179, 245, 40,
                      QStringLiteral("替换文字"));
    for (QGroupBox* box : {c.分组框1, c.分组框2, c.分组框3, c.分组框4})
        box->setFocusPolicy(Qt::NoFocus);

    c.替换文本目标文字填写框 = place(new QLineEdit(this), "替换文本目标文字填写框", 19, 225, 228, 19);
    c.替换文本目标文字填写框->setAccessibleName(QStringLiteral("目标文字"));
    c.替换文本填写框 = place(new QLineEdit(this), "替换文本填写框", 19, 267, 228, 19);
    c.替换文本填写框->setAccessibleName(QStringLiteral("替换文字"));
    c.文本替换按扭 = place(new QPushButton(QStringLiteral("替换"), this), "文本替换按扭", 275, 256, 61, 32,
                           QStringLiteral("替换"));

    c.标签1 = place(makeLabel(this, QStringLiteral("文本分割替换器 1.0")), "标签1", 256, 296, 96, 16,
                    QStringLiteral("文本分割替换器 1.0"));

    // The one-file open dialog belongs to the window but has no place on screen.
    c.通用对话框1 = new QFileDialog(this);
    c.通用对话框1->setObjectName(QStringLiteral("通用对话框1"));
    c.通用对话框1->setFileMode(QFileDialog::ExistingFile);
    c.通用对话框1->setAcceptMode(QFileDialog::AcceptOpen);
    c.通用对话框1->setNameFilter(QStringLiteral("文本文件 (*.txt)"));

    // Focus follows the page: the split row, then the replacement group.
    QWidget* order[] = {c.选择单个分割文件按钮, c.分割文件地址框, c.分割文本文件份数填写框, c.文本分割按扭,
                        c.文本替换选择文件按钮, c.选择到文件显示框, c.替换文本目标文字填写框, c.区分大小写选择框,
                        c.替换文本填写框, c.文本替换按扭};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void MainWindow::wireEvents()
{
    MainWindowControls& c = controls_;
    connect(c.选择单个分割文件按钮, &QPushButton::clicked, this, [] { chooseSplitSource(); });
    connect(c.文本分割按扭, &QPushButton::clicked, this, [] { startSplit(); });
    connect(c.文本替换选择文件按钮, &QPushButton::clicked, this, [] { chooseReplaceFiles(); });
    connect(c.文本替换按扭, &QPushButton::clicked, this, [] { replaceInFiles(); });
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A window manager adds its frame only after the window is mapped.
    QTimer::singleShot(0, this, &MainWindow::fitFrameToOuterRect);
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    fitFrameToOuterRect();
}

void MainWindow::fitFrameToOuterRect()
{
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame.width() <= 0 && frame.height() <= 0)
        return;
    const QSize client = outerRect.size() - frame;
    if (client != size())
        setFixedSize(client);
    if (frameGeometry().topLeft() != outerRect.topLeft())
        move(outerRect.topLeft());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    // Closing the window ends the program, also while a progress box is open.
    QCoreApplication::quit();
}
