#pragma once

// Click handler of 文本替换选择文件按钮: choose the files to rewrite.
void chooseReplaceFiles();
// Click handler of 文本替换按扭: replace the target in every chosen file.
void replaceInFiles();
