#pragma once

#include "services/text.h"

#include <memory>
#include <optional>

// The progress of one long job, shown while it runs and closed when the
// object goes away. Used from the GUI thread only.
class ProgressReport {
public:
    virtual ~ProgressReport() = default;
    // `done` of `total` steps; `label` says what is being worked on.
    virtual void setProgress(std::int64_t done, std::int64_t total, const Text& label) = 0;
    // True once the user asked to stop.
    [[nodiscard]] virtual bool wasCanceled() const = 0;
};

// Every dialog the handlers show goes through this interface, so that tests
// can answer as a user would. The program installs the Qt implementation.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A modal box with an OK button. Safe to call from any thread: the box
    // lives on the GUI thread and the caller waits until it is dismissed.
    virtual void messageBox(const Text& message, const Text& title) = 0;

    // A folder browser; the empty text when cancelled.
    virtual Text browseForFolder(const Text& title) = 0;

    // A multi-select file-open dialog. `filter` is written "description|pattern".
    // The empty list when cancelled.
    virtual TextList chooseFiles(const Text& title, const Text& filter) = 0;

    // The window's own one-file open dialog (通用对话框1), opened with an empty
    // file name; the full path of the confirmed file, nothing when cancelled.
    virtual std::optional<Text> chooseOneFile() = 0;

    // Shows progress after about half a second. A modal report blocks the
    // window until it closes; `cancellable` gives it a Cancel button.
    virtual std::unique_ptr<ProgressReport> showProgress(const Text& title, bool modal, bool cancellable) = 0;
};

// The dialogs in use; the program or a test sets them before any handler runs.
Dialogs& dialogs();
void setDialogs(std::shared_ptr<Dialogs> implementation);
