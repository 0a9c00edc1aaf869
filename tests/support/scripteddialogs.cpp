#include "scripteddialogs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

class ScriptedProgress : public ProgressReport {
public:
    ScriptedProgress(ScriptedDialogs& owner, qsizetype index) : owner_(owner), index_(index) {}
    ~ScriptedProgress() override
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.progress_[index_].closed = true;
    }
    void setProgress(std::int64_t, std::int64_t, const Text&) override
    {
        std::lock_guard lock(owner_.mutex_);
        const int updates = ++owner_.progress_[index_].updates;
        if (owner_.cancelProgressAfterUpdates >= 0 && updates >= owner_.cancelProgressAfterUpdates)
            canceled_ = true;
    }
    [[nodiscard]] bool wasCanceled() const override
    {
        std::lock_guard lock(owner_.mutex_);
        return canceled_ || owner_.cancelProgressAfterUpdates == 0;
    }

private:
    ScriptedDialogs& owner_;
    qsizetype index_;
    bool canceled_ = false;
};

void ScriptedDialogs::messageBox(const Text& message, const Text& title)
{
    std::lock_guard lock(mutex_);
    messages_.append({title, message});
}

Text ScriptedDialogs::browseForFolder(const Text& title)
{
    folderTitles.append(title);
    if (folderAnswers.empty()) {
        ++unexpected;
        return {};
    }
    Text answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
}

TextList ScriptedDialogs::chooseFiles(const Text& title, const Text& filter)
{
    fileListRequests.append({title, filter});
    if (fileListAnswers.empty()) {
        ++unexpected;
        return {};
    }
    TextList answer = fileListAnswers.front();
    fileListAnswers.pop_front();
    return answer;
}

std::optional<Text> ScriptedDialogs::chooseOneFile()
{
    ++oneFileRequests;
    if (oneFileAnswers.empty()) {
        ++unexpected;
        return std::nullopt;
    }
    const bool confirmed = oneFileAnswers.front().has_value();
    const Text path = oneFileAnswers.front().value_or(Text());
    oneFileAnswers.pop_front();
    return confirmed ? std::optional<Text>(path) : std::nullopt;
}

std::unique_ptr<ProgressReport> ScriptedDialogs::showProgress(const Text& title, bool modal, bool cancellable)
{
    std::lock_guard lock(mutex_);
    progress_.append({title, modal, cancellable, 0, false});
    return std::make_unique<ScriptedProgress>(*this, progress_.size() - 1);
}

QList<ScriptedDialogs::Message> ScriptedDialogs::messages() const
{
    std::lock_guard lock(mutex_);
    return messages_;
}

QList<ScriptedDialogs::Progress> ScriptedDialogs::progressReports() const
{
    std::lock_guard lock(mutex_);
    return progress_;
}

void ScriptedDialogs::clearMessages()
{
    std::lock_guard lock(mutex_);
    messages_.clear();
}

bool ScriptedDialogs::waitForMessages(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (messages().size() < count) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

std::shared_ptr<ScriptedDialogs> installScriptedDialogs()
{
    auto scripted = std::make_shared<ScriptedDialogs>();
    setDialogs(scripted);
    return scripted;
}
