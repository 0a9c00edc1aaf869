#include "ui/qtdialogs.h"

#include "ui/mainwindowcontrols.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QThread>

namespace {

class QtProgressReport : public ProgressReport {
public:
    QtProgressReport(QWidget* parent, const Text& title, bool modal, bool cancellable)
        : dialog_(title, cancellable ? QStringLiteral("取消") : QString(), 0, scale, parent)
    {
        dialog_.setWindowTitle(title);
        dialog_.setWindowModality(modal ? Qt::ApplicationModal : Qt::NonModal);
        dialog_.setMinimumDuration(500);
        dialog_.setAutoClose(false);
        dialog_.setAutoReset(false);
        if (!cancellable)
            dialog_.setCancelButton(nullptr);
        dialog_.setMinimumWidth(360);
        dialog_.setValue(0);
    }

    void setProgress(std::int64_t done, std::int64_t total, const Text& label) override
    {
        if (!label.isEmpty())
            dialog_.setLabelText(label);
        // Sizes run past what an int holds, so the bar counts in thousandths.
        const int value = total > 0 ? int(double(std::clamp<std::int64_t>(done, 0, total)) / double(total) * scale) : 0;
        dialog_.setValue(value);
    }

    [[nodiscard]] bool wasCanceled() const override { return dialog_.wasCanceled(); }

private:
    static constexpr int scale = 1000;
    QProgressDialog dialog_;
};

}  // namespace

QString qtFileFilter(const QString& filter)
{
    const qsizetype bar = filter.indexOf(u'|');
    if (bar < 0)
        return filter;
    return QStringLiteral("%1 (%2)").arg(filter.left(bar), filter.mid(bar + 1));
}

void QtDialogs::messageBox(const Text& message, const Text& title)
{
    if (QThread::currentThread() == qApp->thread()) {
        showMessageHere(message, title);
        return;
    }
    // The box must live on the GUI thread; the calling thread waits for it.
    QMetaObject::invokeMethod(
        qApp, [&] { showMessageHere(message, title); }, Qt::BlockingQueuedConnection);
}

void QtDialogs::showMessageHere(const Text& message, const Text& title)
{
    const bool warning = title.startsWith(QStringLiteral("警告"));
    // A long list (thousands of failed files) would make a box taller than the
    // screen: show its head, and the whole text in the scrollable details.
    constexpr qsizetype shownLines = 12;
    const QStringList lines = message.split(QRegularExpression(QStringLiteral("\\r?\\n")));
    QString shown = message;
    if (lines.size() > shownLines + 3) {
        shown = lines.mid(0, shownLines).join(u'\n')
                + QStringLiteral("\n……（共 %1 行，全部内容见“显示详细信息”）").arg(lines.size());
    }
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::Information, title, shown, QMessageBox::Ok,
                    parent_.data());
    if (shown != message)
        box.setDetailedText(message);
    box.exec();
}

Text QtDialogs::browseForFolder(const Text& title)
{
    return QFileDialog::getExistingDirectory(parent_.data(), title);
}

TextList QtDialogs::chooseFiles(const Text& title, const Text& filter)
{
    return QFileDialog::getOpenFileNames(parent_.data(), title, QString(), qtFileFilter(filter));
}

std::optional<Text> QtDialogs::chooseOneFile()
{
    QFileDialog* dialog = controls().通用对话框1;
    dialog->selectFile(QString());
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::nullopt;
    return dialog->selectedFiles().constFirst();
}

std::unique_ptr<ProgressReport> QtDialogs::showProgress(const Text& title, bool modal, bool cancellable)
{
    return std::make_unique<QtProgressReport>(parent_.data(), title, modal, cancellable);
}
