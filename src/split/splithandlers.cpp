#include "split/splithandlers.h"

#include "app/appstate.h"
#include "services/file.h"
#include "services/text.h"
#include "split/splitengine.h"
#include "ui/dialogs.h"
#include "ui/mainwindowcontrols.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

namespace {

const Text warningTitle = QStringLiteral("警告！");
const Text informationTitle = QStringLiteral("信息：");

// What the source box named when the source was opened, and why opening it
// failed, if it did: the split reports both, since the box may show an
// earlier path than the one held.
Text chosenSourcePath;
std::optional<FileError> sourceOpenError;

// One split at a time: it runs on its own thread with its own copies of the
// source handle, folder and count; the GUI thread polls its progress.
struct RunningSplit {
    std::thread worker;
    std::atomic<bool> cancel{false};
    std::atomic<bool> finished{false};
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{0};
    SplitResult result;  // written by the worker before `finished`
    std::int32_t parts = 0;
    std::unique_ptr<ProgressReport> progress;
    std::unique_ptr<QTimer> poll;
};

std::unique_ptr<RunningSplit> running;

Text failureMessage(const SplitResult& result)
{
    const Text& path = result.error.path;
    switch (result.outcome) {
    case SplitOutcome::NoSource:
        return QStringLiteral("还没有选择要分割的文件，请先点击“选择文件”选择一个文本文件。");
    case SplitOutcome::SourceUnreadable:
        return concatTexts(QStringLiteral("无法读取要分割的文件：\n"), path, QStringLiteral("\n原因："),
                           result.error.reason(), QStringLiteral("\n没有写入任何分割文件。"));
    case SplitOutcome::SourceChanged:
        return concatTexts(QStringLiteral("要分割的文件在分割过程中被其他程序改动了：\n"), path,
                           QStringLiteral("\n没有写入任何分割文件，请重新选择文件后再分割。"));
    case SplitOutcome::PartNotWritten:
        return concatTexts(QStringLiteral("无法写入分割文件：\n"), path, QStringLiteral("\n原因："),
                           result.error.reason(), QStringLiteral("\n存放目录保持原样，没有写入任何分割文件。"));
    case SplitOutcome::PartIsSource:
        return concatTexts(QStringLiteral("分割文件\n"), path,
                           QStringLiteral("\n就是要分割的文件本身，写入会毁掉原文件。请另选一个存放目录。"));
    case SplitOutcome::Done:
    case SplitOutcome::Cancelled:
        break;
    }
    return {};
}

// On the GUI thread, once the worker has said it is done.
void finishSplit()
{
    if (!running || !running->finished)
        return;
    running->worker.join();
    const SplitResult result = running->result;
    const std::int32_t parts = running->parts;
    // This may run inside the poll timer's own signal: let Qt delete it later.
    running->poll->stop();
    running->poll.release()->deleteLater();
    running.reset();  // closes the progress box; a new split may start from here on
    if (result.outcome == SplitOutcome::Done)
        dialogs().messageBox(concatTexts(QStringLiteral("当前需要分割的文件已经成功的分割为"), toText(parts),
                                         QStringLiteral("份！")),
                             informationTitle);
    else if (result.outcome == SplitOutcome::Cancelled)
        dialogs().messageBox(QStringLiteral("分割已取消，存放目录保持原样。"), informationTitle);
    else
        dialogs().messageBox(failureMessage(result), warningTitle);
}

void pollSplit()
{
    if (!running)
        return;
    if (running->progress) {
        running->progress->setProgress(running->done, running->total, QStringLiteral("正在写入分割文件……"));
        if (running->progress->wasCanceled())
            running->cancel = true;
    }
    finishSplit();
}

}  // namespace

void chooseSplitSource()
{
    AppState& state = appState();
    state.currentFile = FileHandle();  // the earlier source is closed here, whatever the user picks
    chosenSourcePath.clear();
    sourceOpenError.reset();
    const std::optional<Text> chosen = dialogs().chooseOneFile();
    if (!chosen)
        return;
    controls().分割文件地址框->setText(*chosen);
    OpenedFile opened = openFile(*chosen);
    state.currentFile = std::move(opened.handle);
    chosenSourcePath = *chosen;
    sourceOpenError = opened.error;
}

void startSplit()
{
    AppState& state = appState();
    // Two splits into one folder at once would write the same part files.
    if (running) {
        dialogs().messageBox(QStringLiteral("上一次分割还没有完成，请等待当前的分割完成后再分割。"), warningTitle);
        return;
    }

    state.outputFolder = dialogs().browseForFolder(QStringLiteral("请选择存放路径"));
    if (state.outputFolder.isEmpty()) {
        dialogs().messageBox(QStringLiteral("请选择一个存放目录！"), warningTitle);
        return;
    }
    state.partCount = toInteger(controls().分割文本文件份数填写框->text());
    if (state.partCount <= 0) {
        dialogs().messageBox(QStringLiteral("请填写一种分割模式！"), warningTitle);
        return;
    }

    SplitRequest request;
    request.source = state.currentFile.duplicate();
    request.sourcePath = chosenSourcePath;
    request.folder = state.outputFolder;
    request.parts = state.partCount;
    if (!request.source) {
        SplitResult refused;
        if (sourceOpenError) {
            refused.outcome = SplitOutcome::SourceUnreadable;
            refused.error = *sourceOpenError;
        } else if (state.currentFile) {
            refused.outcome = SplitOutcome::SourceUnreadable;  // no descriptor left for the copy
            refused.error = FileError{errno, chosenSourcePath};
        } else {
            refused.outcome = SplitOutcome::NoSource;
        }
        dialogs().messageBox(failureMessage(refused), warningTitle);
        return;
    }

    running = std::make_unique<RunningSplit>();
    RunningSplit* split = running.get();
    split->parts = request.parts;
    split->total = fileLength(request.source);
    split->progress = dialogs().showProgress(QStringLiteral("正在分割文件"), /*modal*/ false, /*cancellable*/ true);
    request.cancel = &split->cancel;
    request.progress = [split](std::int64_t done, std::int64_t total) {
        split->done = done;
        split->total = total;
    };
    split->poll = std::make_unique<QTimer>();
    split->poll->setInterval(100);
    QObject::connect(split->poll.get(), &QTimer::timeout, split->poll.get(), [] { pollSplit(); });
    split->poll->start();
    split->worker = std::thread([split, request = std::move(request)]() mutable {
        split->result = runSplit(std::move(request));
        split->finished = true;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { finishSplit(); }, Qt::QueuedConnection);
    });
}

void finishRunningSplits()
{
    if (!running)
        return;
    running->cancel = true;
    // The engine removes its temporaries before it returns.
    running->worker.join();
    running.reset();
}
