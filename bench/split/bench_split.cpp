// Splits a 1 GiB mixed Chinese/ASCII file (UTF-8, then the same text in
// GB18030) into 10 parts with our engine and with GNU split, alternating, and
// prints the median wall time of each, their ratio and the peak memory.
//
//   bench_split [--mib 1024] [--rounds 5] [--dir /tmp]
#include "services/encoding.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

Run runProgram(const std::vector<QByteArray>& arguments)
{
    std::vector<char*> argv;
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return {};
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void emptyFolder(const QString& path)
{
    QDir(path).removeRecursively();
    QDir().mkpath(path);
}

// Whole lines of mixed text, so that each chunk encodes on its own.
QString sampleLines()
{
    const QString words[] = {QStringLiteral("分割"), QStringLiteral("文本文件"), QStringLiteral("替换"),
                             QStringLiteral("中文字符，"), QStringLiteral("标点。"), QStringLiteral("ASCII"),
                             QStringLiteral("text"), QStringLiteral("12345"), QStringLiteral(" "),
                             QStringLiteral("GB18030"), QStringLiteral("编码"), QStringLiteral("😀")};
    QString lines;
    unsigned seed = 12345;
    for (int line = 0; line < 2000; ++line) {
        const int count = 5 + line % 23;
        for (int w = 0; w < count; ++w) {
            seed = seed * 1103515245 + 12345;
            lines += words[(seed >> 16) % std::size(words)];
        }
        lines += line % 3 ? QStringLiteral("\n") : QStringLiteral("\r\n");
    }
    return lines;
}

bool writeData(const QString& path, Encoding encoding, std::int64_t size)
{
    const QByteArray chunk = encodeText(sampleLines(), encoding);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (std::int64_t written = 0; written < size; written += chunk.size())
        if (file.write(chunk) != chunk.size())
            return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::int64_t mib = 1024;
    int rounds = 5;
    QString base = QDir::tempPath();
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        if (option == "--mib")
            mib = QByteArray(argv[i + 1]).toLongLong();
        else if (option == "--rounds")
            rounds = QByteArray(argv[i + 1]).toInt();
        else if (option == "--dir")
            base = QString::fromLocal8Bit(argv[i + 1]);
    }
    QTemporaryDir dir(base + "/bench_split-XXXXXX");
    if (!dir.isValid())
        return 1;
    std::printf("split of %lld MiB into 10 parts, %d rounds, in %s\n", static_cast<long long>(mib), rounds,
                qPrintable(dir.path()));
    int failures = 0;
    for (const auto& [name, encoding] : {std::pair{"UTF-8", Encoding::Utf8}, std::pair{"GB18030", Encoding::Gb18030}}) {
        const QString source = dir.filePath(QStringLiteral("source-%1.txt").arg(name));
        if (!writeData(source, encoding, mib << 20)) {
            std::printf("cannot write %s\n", qPrintable(source));
            return 1;
        }
        const QString ours = dir.filePath("ours"), gnu = dir.filePath("gnu");
        std::vector<double> ourTimes, gnuTimes;
        long ourPeak = 0, gnuPeak = 0;
        for (int round = 0; round < rounds; ++round) {
            // Alternate who goes first, so neither always finds a warmer cache.
            for (int turn = 0; turn < 2; ++turn) {
                const bool oursNow = (round + turn) % 2 == 0;
                emptyFolder(oursNow ? ours : gnu);
                ::sync();
                const Run run = oursNow ? runProgram({SPLIT_CLI, QFile::encodeName(source), QFile::encodeName(ours), "10"})
                                        : runProgram({"split", "-n", "10", "--numeric-suffixes=1", "--additional-suffix=.txt",
                                                      QFile::encodeName(source), QFile::encodeName(gnu + "/")});
                if (!run.ok)
                    ++failures;
                (oursNow ? ourTimes : gnuTimes).push_back(run.seconds);
                (oursNow ? ourPeak : gnuPeak) = std::max(oursNow ? ourPeak : gnuPeak, run.peakKiB);
            }
        }
        const double ourMedian = median(ourTimes), gnuMedian = median(gnuTimes);
        std::printf("%-8s ours %.3f s (peak %.1f MiB)   GNU split %.3f s (peak %.1f MiB)   ratio ours/GNU %.2f\n", name,
                    ourMedian, ourPeak / 1024.0, gnuMedian, gnuPeak / 1024.0, ourMedian / gnuMedian);
        QFile::remove(source);
        emptyFolder(ours);
        emptyFolder(gnu);
    }
    return failures == 0 ? 0 : 1;
}
