#include "app/skin.h"

#include <QApplication>
#include <QDir>
#include <QFile>

Text programDirectory()
{
    // On Linux Qt reads /proc/self/exe, so a bin/ link leads to the real folder.
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

Text skinPath()
{
    return concatTexts(programDirectory(), QDir::separator(), QStringLiteral("PF.skn"));
}

Text helpFilePath()
{
    return concatTexts(programDirectory(), QDir::separator(), QStringLiteral("README.md"));
}

bool loadSkin(const Text& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // A style sheet is small; anything large is not one of ours.
    const QByteArray bytes = file.read(1 << 20);
    const QString sheet = QString::fromUtf8(bytes).trimmed();
    if (sheet.isEmpty())
        return false;
    // Qt itself ignores a sheet it cannot parse and keeps its own look.
    qApp->setStyleSheet(sheet);
    return true;
}

void skinAuxOperation()
{
    if (qApp)
        qApp->setStyleSheet(QString());
}

void onMainWindowCreated()
{
    loadSkin(skinPath());
}

void onMainWindowEvent2()
{
    skinAuxOperation();
}
