#include "split/splithandlers.h"

void chooseSplitSource() {}
void startSplit() {}
void finishRunningSplits() {}
