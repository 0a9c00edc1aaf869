#include "replace/replacehandlers.h"

void chooseReplaceFiles() {}
void replaceInFiles() {}
