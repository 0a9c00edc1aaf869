#include "app/application.h"

#include "app/appstate.h"
#include "split/splithandlers.h"
#include "ui/mainwindow.h"
#include "ui/qtdialogs.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdlib>

namespace {

void releaseAppStateAtExit()
{
    releaseAppState();
}

}  // namespace

void runApplication()
{
    initAppState();
    std::atexit(releaseAppStateAtExit);
    {
        // The program takes no command-line arguments; Qt gets only its name.
        static int argc = 1;
        static char name[] = "splitreplace";
        static char* argv[] = {name, nullptr};
        QApplication application(argc, argv);
        QApplication::setApplicationName(QStringLiteral("splitreplace"));
        QApplication::setQuitOnLastWindowClosed(true);
        // Qt's own dialogs and buttons (file dialogs, 确定, 取消) speak Chinese
        // like the rest of the program, whatever the desktop's language.
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        QTranslator qtTranslator;
        if (qtTranslator.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QApplication::installTranslator(&qtTranslator);

        auto qtDialogs = std::make_shared<QtDialogs>();
        setDialogs(qtDialogs);
        {
            MainWindow window;
            qtDialogs->setParentWindow(&window);
            window.show();
            QApplication::exec();
            // A split still running is stopped and cleaned up before anything goes away.
            finishRunningSplits();
        }
        setDialogs(nullptr);
    }
    std::exit(0);
}
