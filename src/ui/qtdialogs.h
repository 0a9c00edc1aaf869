#pragma once

#include "ui/dialogs.h"

#include <QPointer>
#include <QWidget>

// The dialogs as Qt draws them, owned by the main window.
class QtDialogs : public Dialogs {
public:
    void setParentWindow(QWidget* window) { parent_ = window; }

    void messageBox(const Text& message, const Text& title) override;
    Text browseForFolder(const Text& title) override;
    TextList chooseFiles(const Text& title, const Text& filter) override;
    std::optional<Text> chooseOneFile() override;
    std::unique_ptr<ProgressReport> showProgress(const Text& title, bool modal, bool cancellable) override;

private:
    void showMessageHere(const Text& message, const Text& title);

    QPointer<QWidget> parent_;
};

// "文本文件|*.txt" in the form Qt's file dialogs take: "文本文件 (*.txt)".
QString qtFileFilter(const QString& filter);
