// Replacement benchmark: our engine against `sed -i` and `sd` on identical
// copies of data it makes itself, several rounds, medians and ratios.
//
//   replacebench [--mib 1024] [--files 10000] [--file-kib 10] [--rounds 3] [--dir FOLDER]
//
// Every tool runs as a process of its own on a fresh copy that has been
// synced to disk first, so no tool pays for another's writes. Peak memory is
// each process's maximum resident set as the kernel counts it.

#include "replace/replaceengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const QString target = QStringLiteral("目标文字");
const QString replacement = QStringLiteral("替换后的文字");

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

struct Run {
    double seconds = 0;
    long peakKib = 0;
    bool ok = false;
};

// Runs a program and waits; its wall time and peak memory.
Run runProgram(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const double start = now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    Run run;
    run.seconds = now() - start;
    run.peakKib = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Chinese prose-like text: common characters, punctuation, line ends, and the
// target about once every two kilobytes.
QString makeBlock(int characters)
{
    const QString common = QStringLiteral(
        "的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工也能下过子说产种面而方后多定"
        "行学法所民得经十三之进着等部度家电力里如水化高自二理起小物现实加量都两体制机当使点从业本去把性好应开它合还因由其些"
        "然前外天政四日那社义事平形相全表间样与关各重新线内数正心反你明看原又么利比或但质气第向道命此变条只没结解问意建月公无");
    std::mt19937 random(20261211);
    QString block;
    block.reserve(characters + 64);
    int sinceLine = 0;
    while (block.size() < characters) {
        const unsigned pick = random() % 1000;
        if (pick < 2) {
            block += target;
        } else if (pick < 60) {
            block += QStringLiteral("，");
        } else if (pick < 80) {
            block += QStringLiteral("。");
        } else {
            block += common[random() % common.size()];
        }
        if (++sinceLine > 40 + int(random() % 40)) {
            block += QStringLiteral("\r\n");
            sinceLine = 0;
        }
    }
    return block;
}

bool writeRepeated(const QString& path, const QByteArray& block, std::int64_t totalBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (std::int64_t written = 0; written < totalBytes; written += block.size()) {
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

bool copyFile(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

// A quick fingerprint of a file, to see that two tools made the same bytes.
std::uint64_t fingerprint(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    std::uint64_t hash = 1469598103934665603ULL;
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(1 << 20);
        for (const char c : chunk)
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash;
}

// Our side, in a process of its own so that its memory is counted alone.
int replaceFiles(int argc, char** argv)
{
    ReplaceBatch batch;
    const bool anyCase = std::strcmp(argv[1], "--replace-any-case") == 0;
    const ReplaceRequest request{QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]), !anyCase};
    for (int i = 4; i < argc; ++i)
        batch.replaceInFile(QFile::decodeName(argv[i]), request);
    batch.flush();
    for (const auto& result : batch.results()) {
        if (result.outcome == FileOutcome::Failed) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(result.path), qPrintable(result.error->reason()));
            return 1;
        }
    }
    return 0;
}

struct Tool {
    std::string name;
    std::vector<std::string> command;  // the file arguments follow
};

struct CaseResult {
    std::vector<double> seconds;
    long peakKib = 0;
    std::uint64_t print = 0;
    bool ok = true;
};

void report(const char* title, const std::vector<Tool>& tools, const std::vector<CaseResult>& results)
{
    std::printf("\n%s\n", title);
    const double ours = median(results[0].seconds);
    for (std::size_t t = 0; t < tools.size(); ++t) {
        const double m = median(results[t].seconds);
        std::printf("  %-6s median %7.3f s  peak %7.1f MiB%s", tools[t].name.c_str(), m, results[t].peakKib / 1024.0,
                    results[t].ok ? "" : "  (FAILED)");
        if (t > 0)
            std::printf("  ours/%s = %.2f", tools[t].name.c_str(), ours / m);
        std::printf("\n");
    }
    for (std::size_t t = 1; t < tools.size(); ++t) {
        if (tools[t].name != "cp")
            std::printf("  output of %s %s ours\n", tools[t].name.c_str(),
                        results[t].print == results[0].print ? "is identical to" : "DIFFERS from");
    }
}

// Each round gives every tool a fresh copy, in an order that rotates so that
// none always runs first on a cold cache.
std::vector<CaseResult> runCase(const std::vector<Tool>& tools, int rounds, const std::function<QStringList()>& prepare,
                                const std::function<std::uint64_t(const QStringList&)>& print)
{
    std::vector<CaseResult> results(tools.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < tools.size(); ++k) {
            const std::size_t t = (k + round) % tools.size();
            const QStringList files = prepare();
            ::sync();
            std::vector<std::string> command = tools[t].command;
            for (const QString& f : files)
                command.push_back(QFile::encodeName(f).toStdString());
            const Run run = runProgram(command);
            results[t].seconds.push_back(run.seconds);
            results[t].peakKib = std::max(results[t].peakKib, run.peakKib);
            results[t].ok = results[t].ok && run.ok;
            if (round == 0)
                results[t].print = print(files);
        }
    }
    return results;
}

}  // namespace

int main(int argc, char** argv)
{
    // One run of ours by hand: --replace (case-sensitive) or --replace-any-case TARGET REPLACEMENT FILE...
    if (argc >= 4 && (std::strcmp(argv[1], "--replace") == 0 || std::strcmp(argv[1], "--replace-any-case") == 0))
        return replaceFiles(argc, argv);
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::int64_t mib = 1024;
    int files = 10000, fileKib = 10, rounds = 3;
    QString base = QDir::tempPath();
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        if (option == "--mib")
            mib = std::atoll(argv[i + 1]);
        else if (option == "--files")
            files = std::atoi(argv[i + 1]);
        else if (option == "--file-kib")
            fileKib = std::atoi(argv[i + 1]);
        else if (option == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (option == "--dir")
            base = QString::fromLocal8Bit(argv[i + 1]);
    }
    QTemporaryDir work(base + "/replacebench-XXXXXX");
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a work folder in %s\n", qPrintable(base));
        return 1;
    }
    const std::string self = QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString();
    const std::string t = target.toStdString(), r = replacement.toStdString();
    const Tool ours{"ours", {self, "--replace", t, r}};
    const Tool sed{"sed", {"sed", "-i", "s/" + t + "/" + r + "/g"}};
    const Tool sd{"sd", {"sd", "-s", t, r}};
    const Tool cp{"cp", {"cp"}};
    std::printf("replacebench: %lld MiB file, %d files of %d KiB, %d rounds, in %s\n", static_cast<long long>(mib),
                files, fileKib, rounds, qPrintable(work.path()));
    std::printf("target \"%s\" -> \"%s\"; every tool runs on a fresh copy synced to disk first\n", t.c_str(), r.c_str());

    const QString block = makeBlock(1 << 19);
    const QByteArray utf8Block = block.toUtf8();
    QStringEncoder toGb("GB18030");
    const QByteArray gbBlock = toGb.encode(block);

    const QString utf8Master = work.filePath("master-utf8.txt"), gbMaster = work.filePath("master-gb18030.txt");
    const QString one = work.filePath("one.txt"), copyTarget = work.filePath("copy.txt");
    if (!writeRepeated(utf8Master, utf8Block, mib << 20) || !writeRepeated(gbMaster, gbBlock, (mib << 20) * 3 / 4)) {
        std::fprintf(stderr, "cannot write the test data\n");
        return 1;
    }
    auto printOne = [&](const QStringList& list) { return fingerprint(list.first()); };

    {
        const std::vector<Tool> tools{ours, sd, sed};
        const auto results = runCase(
            tools, rounds, [&] { copyFile(utf8Master, one); return QStringList{one}; }, printOne);
        report(qPrintable(QStringLiteral("One %1 MiB UTF-8 file, Chinese target").arg(mib)), tools, results);
    }
    {
        // sed and sd match UTF-8 bytes only: in GB18030 they find nothing, or
        // worse, bytes that straddle characters. The peer is a plain copy.
        std::printf("\nOne GB18030 file of the same text: sed and sd cannot match a Chinese target there,\n"
                    "so ours is timed against cp copying the same file\n");
        const Tool copy{"cp", {"cp", QFile::encodeName(gbMaster).toStdString()}};
        const std::vector<Tool> tools{ours, copy};
        auto prepare = [&]() -> QStringList {
            copyFile(gbMaster, one);
            QFile::remove(copyTarget);
            return {one};
        };
        std::vector<CaseResult> results(2);
        bool changed = false;
        for (int round = 0; round < rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                const int which = (k + round) % 2;
                prepare();
                ::sync();
                std::vector<std::string> command = which == 0 ? ours.command : copy.command;
                command.push_back(QFile::encodeName(which == 0 ? one : copyTarget).toStdString());
                const Run run = runProgram(command);
                results[which].seconds.push_back(run.seconds);
                results[which].peakKib = std::max(results[which].peakKib, run.peakKib);
                results[which].ok = results[which].ok && run.ok;
                if (round == 0 && which == 0)
                    changed = fingerprint(one) != fingerprint(gbMaster);
            }
        }
        std::printf("  (ours replaced the target in the GB18030 file: %s)\n", changed ? "yes" : "NO");
        report(qPrintable(QStringLiteral("One GB18030 file (%1 MiB)").arg(QFileInfo(gbMaster).size() >> 20)), tools,
               results);
    }
    {
        QFile::remove(one);
        const QString folder = work.filePath("many");
        QDir().mkpath(folder);
        QStringList paths;
        for (int i = 0; i < files; ++i)
            paths << QStringLiteral("%1/%2.txt").arg(folder).arg(i);
        const std::int64_t fileBytes = std::int64_t{fileKib} << 10;
        auto prepare = [&] {
            for (int i = 0; i < files; ++i) {
                QFile file(paths[i]);
                file.open(QIODevice::WriteOnly | QIODevice::Truncate);
                const std::int64_t at = (std::int64_t(i) * 4099) % (utf8Block.size() - fileBytes - 8);
                // Start on a character, so that every file is valid UTF-8.
                qsizetype start = at;
                while ((static_cast<unsigned char>(utf8Block[start]) & 0xC0) == 0x80)
                    ++start;
                qsizetype end = start + fileBytes;
                while ((static_cast<unsigned char>(utf8Block[end]) & 0xC0) == 0x80)
                    ++end;
                file.write(utf8Block.mid(start, end - start));
            }
            return paths;
        };
        auto printAll = [&](const QStringList& list) {
            std::uint64_t all = 0;
            for (const QString& p : list)
                all = all * 31 + fingerprint(p);
            return all;
        };
        const std::vector<Tool> tools{ours, sd, sed};
        const auto results = runCase(tools, rounds, prepare, printAll);
        report(qPrintable(QStringLiteral("%1 UTF-8 files of %2 KiB").arg(files).arg(fileKib)), tools, results);
    }
    return 0;
}
