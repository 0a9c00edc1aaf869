#include "replace/replacehandlers.h"

#include "app/appstate.h"
#include "replace/replaceengine.h"
#include "ui/dialogs.h"
#include "ui/mainwindowcontrols.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSemaphore>
#include <QTextCursor>
#include <QThreadPool>

#include <functional>

namespace {

// The three controls, read as they stand now.
ReplaceRequest readRequest()
{
    MainWindowControls& window = controls();
    ReplaceRequest request;
    request.target = window.替换文本目标文字填写框->text();
    request.replacement = window.替换文本填写框->text();
    request.caseSensitive = window.区分大小写选择框->isChecked();
    return request;
}

// Runs one run's file work off the GUI thread, one job at a time, while the
// GUI thread keeps painting and the progress report up to date. User input
// waits meanwhile: only the modal progress report lets it through, to its own
// Cancel button, so the window cannot change under the run.
class ReplaceRun {
public:
    ReplaceRun(const TextList& files, ProgressReport& progress) : files_(files), progress_(progress)
    {
        pool_.setMaxThreadCount(1);
        clock_.start();
    }

    // Each file in turn with the controls read anew for it; false once the user cancelled.
    bool replaceAll(const ReplaceRequest& firstRequest)
    {
        const qsizetype count = files_.size();
        for (qsizetype i = 0; i < count; ++i) {
            if (progress_.wasCanceled())
                return false;
            const ReplaceRequest request = i == 0 ? firstRequest : readRequest();
            current_ = i;
            report(true);
            const Text path = files_.at(i);
            onWorker([this, path, request] { batch_.replaceInFile(path, request); });
            done_ = i + 1;
        }
        return true;
    }

    // Puts the prepared files in place: whatever was prepared is done, also after Cancel.
    void finish()
    {
        onWorker([this] { batch_.flush(); });
    }

    [[nodiscard]] qsizetype filesDone() const { return done_; }
    [[nodiscard]] const std::vector<FileResult>& results() const { return batch_.results(); }

private:
    void onWorker(std::function<void()> job)
    {
        QSemaphore finished;
        pool_.start([&] {
            job();
            finished.release();
        });
        while (!finished.tryAcquire(1, 20)) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            report(false);
        }
    }

    // Not more often than the eye can follow: a label update costs more than a small file.
    void report(bool newFile)
    {
        if (clock_.elapsed() < lastReport_ + 50 && !(newFile && current_ == 0))
            return;
        lastReport_ = clock_.elapsed();
        // Many small files may never leave time to wait in onWorker: paint now and then all the same.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        const qsizetype count = files_.size();
        constexpr std::int64_t steps = 1000;
        const std::int64_t size = batch_.currentFileSize();
        const std::int64_t within = size > 0 && !newFile ? batch_.currentBytesRead() * steps / size : 0;
        progress_.setProgress(std::int64_t(current_) * steps + std::min(within, steps), std::int64_t(count) * steps,
                              QStringLiteral("正在替换第 %1 个文件，共 %2 个：\n%3")
                                  .arg(current_ + 1)
                                  .arg(count)
                                  .arg(files_.at(current_)));
    }

    const TextList& files_;
    ProgressReport& progress_;
    ReplaceBatch batch_;
    QThreadPool pool_;
    QElapsedTimer clock_;
    qint64 lastReport_ = 0;
    qsizetype current_ = 0;
    qsizetype done_ = 0;
};

}  // namespace

void chooseReplaceFiles()
{
    AppState& state = appState();
    // The previous choice is gone, also when this one is cancelled.
    state.selectedFiles = TextList();
    state.selectedFiles = dialogs().chooseFiles(QStringLiteral("请选择！"), QStringLiteral("文本文件|*.txt"));
    const qsizetype count = state.selectedFiles.size();
    if (count == 0)
        return;
    // The box is only ever added to: it keeps every choice made since start-up.
    QTextCursor end(controls().选择到文件显示框->document());
    end.movePosition(QTextCursor::End);
    for (qsizetype i = 0; i < count; ++i)
        end.insertText(concatTexts(state.selectedFiles.at(i), QStringLiteral("\r\n")));
}

void replaceInFiles()
{
    AppState& state = appState();
    state.loadedText = ByteBuffer();
    state.replacedText = ByteBuffer();
    // A run drops the split source, as every run always has.
    state.currentFile = FileHandle();
    // The run keeps its own copy: nothing during it may change which files it works on.
    const TextList files = state.selectedFiles;
    if (files.isEmpty())
        return;
    const ReplaceRequest firstRequest = readRequest();
    if (firstRequest.target.isEmpty()) {
        dialogs().messageBox(QStringLiteral("请填写需要替换的目标文字！没有替换任何文件。"), QStringLiteral("警告！"));
        return;
    }

    auto progress = dialogs().showProgress(QStringLiteral("正在替换文本"), /*modal*/ true, /*cancellable*/ true);
    ReplaceRun run(files, *progress);
    const bool completed = run.replaceAll(firstRequest);
    run.finish();
    progress.reset();

    Text failures;
    for (const FileResult& result : run.results()) {
        if (result.outcome == FileOutcome::Failed)
            failures += concatTexts(result.path, QStringLiteral("：") + result.error->reason(), QStringLiteral("\r\n"));
    }
    if (!failures.isEmpty())
        dialogs().messageBox(concatTexts(QStringLiteral("以下文件未能替换，内容保持原样：\r\n"), failures),
                             QStringLiteral("警告！"));
    if (!completed) {
        dialogs().messageBox(QStringLiteral("替换已取消：已处理 %1 个文件，共 %2 个；其余文件没有改动。")
                                 .arg(run.filesDone())
                                 .arg(files.size()),
                             QStringLiteral("信息："));
        return;
    }
    if (failures.isEmpty())
        dialogs().messageBox(QStringLiteral("当前需要替换文本的文件已经成功替换！"), QStringLiteral("信息："));
}
