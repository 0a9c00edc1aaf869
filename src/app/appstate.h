#pragma once

#include "services/file.h"
#include "services/text.h"

#include <cstdint>

// The program-wide state that outlives one event. Only the click handlers
// read or write it, always on the GUI thread; a running job works on copies.
struct AppState {
    ByteBuffer loadedText;        // content of the replacement target being processed
    ByteBuffer replacedText;      // that content after the replacement
    FileHandle currentFile;       // the chosen split source; empty = none
    TextList selectedFiles;       // the paths picked for replacement
    Text outputFolder;            // the folder picked for the part files
    std::int32_t partCount = 0;   // the number of parts asked for
    FileHandle partFile;          // the part file being written; empty = none
};

AppState& appState();

// Gives selectedFiles its empty list; the first step of start-up.
void initAppState();

// Exit clean-up: lets go of the texts and the list still held. Runs once.
void releaseAppState();
