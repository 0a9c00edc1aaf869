#pragma once

// The main window's controls, named as the window's description names them.
// Kept apart from the window class so that handlers see plain pointers.

class QCheckBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

struct MainWindowControls {
    QGroupBox* 分组框1 = nullptr;
    QPushButton* 选择单个分割文件按钮 = nullptr;
    QLineEdit* 分割文件地址框 = nullptr;
    QLabel* 标签3 = nullptr;
    QLineEdit* 分割文本文件份数填写框 = nullptr;
    QLabel* 标签7 = nullptr;
    QPushButton* 文本分割按扭 = nullptr;

    QGroupBox* 分组框2 = nullptr;
    QPushButton* 文本替换选择文件按钮 = nullptr;
    QPlainTextEdit* 选择到文件显示框 = nullptr;
    QLabel* 超级链接框1 = nullptr;
    QGroupBox* 分组框3 = nullptr;
    QLineEdit* 替换文本目标文字填写框 = nullptr;
    QCheckBox* 区分大小写选择框 = nullptr;
    QGroupBox* 分组框4 = nullptr;
    QLineEdit* 替换文本填写框 = nullptr;
    QPushButton* 文本替换按扭 = nullptr;

    QLabel* 标签1 = nullptr;
    QFileDialog* 通用对话框1 = nullptr;
};

// The controls of the window that is open now. Handlers only.
MainWindowControls& controls();
