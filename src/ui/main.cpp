// Program entry: the start-up order lives in app/ProgramEntry; this file only
// hands it the windows.
#include <QApplication>

#include "app/ProgramEntry.h"
#include "ui/DesktopIntegration.h"
#include "ui/ProgramWindows.h"

int main(int argc, char** argv) {
  return ProgramMain(argc, argv, [](int windowArgc, char** windowArgv, const std::string& iniFolder, TDevicePlugin& card) {
    QApplication app(windowArgc, windowArgv);
    // The .desktop entry's name, so that a desktop matches the windows to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("mellowcaster"));
    QApplication::setWindowIcon(ProgramIcon());
    InstallQtTranslations(app);
    TProgramWindows windows(iniFolder, card);
    windows.Create();
    return app.exec();
  });
}
