// split_cli SOURCE FOLDER PARTS: one split through the engine, as the program does it.
#include "services/file.h"
#include "services/text.h"
#include "split/splitengine.h"

#include <QString>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOURCE FOLDER PARTS\n", argv[0]);
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    auto opened = openFile(source);
    if (!opened.handle) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    SplitRequest request;
    request.source = std::move(opened.handle);
    request.sourcePath = source;
    request.folder = QString::fromLocal8Bit(argv[2]);
    request.parts = toInteger(QString::fromLocal8Bit(argv[3]));
    const SplitResult result = runSplit(std::move(request));
    if (result.outcome != SplitOutcome::Done) {
        std::fprintf(stderr, "split failed (%d): %s %s\n", int(result.outcome), qPrintable(result.error.path),
                     qPrintable(result.error.reason()));
        return 1;
    }
    return 0;
}
