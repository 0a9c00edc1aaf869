#pragma once

#include "services/text.h"

// The folder of the running program, links resolved, without a trailing separator.
Text programDirectory();
// The skin file beside the program: programDirectory() + separator + "PF.skn".
Text skinPath();
// The help that 使用说明 opens, shipped beside the program.
Text helpFilePath();

// Applies the skin file (a Qt style sheet in UTF-8) to the whole program.
// False, and Qt's own look, when it is missing, unreadable or empty.
bool loadSkin(const Text& path);
// Takes the skin off again.
void skinAuxOperation();

// Event 0 of the main window: it has been created.
void onMainWindowCreated();
// Event 2 of the main window: it is about to be destroyed.
void onMainWindowEvent2();
