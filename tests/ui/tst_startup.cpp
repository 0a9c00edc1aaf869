// Starts the whole program (runApplication) in a child process on the
// offscreen platform, closes its window, and checks how it ends.

#include "app/application.h"
#include "app/appstate.h"

#include <QApplication>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

bool childMode = false;

// Runs after releaseAppState: atexit routines run in reverse order of registration.
void reportStateAtExit()
{
    const AppState& state = appState();
    std::printf("released=%d\n", state.outputFolder.isEmpty() && state.selectedFiles.isEmpty() ? 1 : 0);
    std::fflush(stdout);
}

// Runs as the program's QApplication is made: gives the state something to
// release, then closes the window as a user would, once it is up.
void onApplicationStarted()
{
    if (!childMode)
        return;
    appState().outputFolder = QStringLiteral("/tmp");
    appState().selectedFiles = {QStringLiteral("/tmp/a.txt"), QStringLiteral("/tmp/b.txt")};
    QTimer::singleShot(300, qApp, [] {
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            if (window->isVisible() && window->windowTitle() == QStringLiteral("文本分割替换器"))
                window->close();
        }
    });
}
Q_COREAPP_STARTUP_FUNCTION(onApplicationStarted)

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void closingTheWindowEndsWithCodeZeroAfterCleanUp();
};

void StartupTest::closingTheWindowEndsWithCodeZeroAfterCleanUp()
{
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QStringLiteral("--child")});
    child.start();
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray("released=1"));
}

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0) {
        childMode = true;
        std::atexit(reportStateAtExit);
        runApplication();
    }
    QCoreApplication app(argc, argv);
    StartupTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
