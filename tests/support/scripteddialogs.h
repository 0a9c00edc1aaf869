#pragma once

#include "ui/dialogs.h"

#include <QList>

#include <deque>
#include <mutex>
#include <optional>

// Dialogs that answer from a script, as a user would, and remember what they
// were asked. A dialog with no scripted answer is cancelled and counted in
// `unexpected`, so a test notices a dialog it did not expect.
class ScriptedDialogs : public Dialogs {
public:
    struct Message {
        Text title;
        Text text;
    };
    struct Progress {
        Text title;
        bool modal = false;
        bool cancellable = false;
        int updates = 0;
        bool closed = false;
    };

    // Answers, used first to last.
    std::deque<Text> folderAnswers;                // browseForFolder; "" = cancel
    std::deque<TextList> fileListAnswers;          // chooseFiles; {} = cancel
    std::deque<std::optional<Text>> oneFileAnswers;  // chooseOneFile; nullopt = cancel
    // Cancel a progress report once it has had this many updates (-1: never).
    int cancelProgressAfterUpdates = -1;

    // What was asked, in order.
    QList<Text> folderTitles;
    QList<std::pair<Text, Text>> fileListRequests;  // title, filter
    int oneFileRequests = 0;
    int unexpected = 0;

    void messageBox(const Text& message, const Text& title) override;
    Text browseForFolder(const Text& title) override;
    TextList chooseFiles(const Text& title, const Text& filter) override;
    std::optional<Text> chooseOneFile() override;
    std::unique_ptr<ProgressReport> showProgress(const Text& title, bool modal, bool cancellable) override;

    // Thread-safe: message boxes may come from a worker thread.
    [[nodiscard]] QList<Message> messages() const;
    [[nodiscard]] QList<Progress> progressReports() const;
    void clearMessages();
    // Runs the event loop until `count` messages have been shown or the time is up.
    bool waitForMessages(int count, int timeoutMs = 30000) const;

private:
    friend class ScriptedProgress;
    mutable std::mutex mutex_;
    QList<Message> messages_;
    QList<Progress> progress_;
};

// Installs fresh scripted dialogs for one test and returns them.
std::shared_ptr<ScriptedDialogs> installScriptedDialogs();
