#include "app/appstate.h"

AppState& appState()
{
    static AppState state;
    return state;
}

void initAppState()
{
    appState().selectedFiles = TextList();
}

void releaseAppState()
{
    AppState& state = appState();
    state.loadedText.clear();
    state.replacedText.clear();
    state.selectedFiles.clear();
    state.outputFolder.clear();
    // The handles close themselves when the process ends; a running split
    // has been finished before this and holds handles of its own.
}
