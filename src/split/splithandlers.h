#pragma once

// Click handler of 选择单个分割文件按钮: choose and open the split source.
void chooseSplitSource();
// Click handler of 文本分割按扭: ask for the folder and the count, start the split.
void startSplit();
// At exit: stops a running split, cleans up after it, and waits for it.
void finishRunningSplits();
