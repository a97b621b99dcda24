#include "ui/DesktopIntegration.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

// Outside any namespace: Q_INIT_RESOURCE names the resource's global init
// function, and the icons live in a static library.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

QIcon ProgramIcon() {
  InitIconResources();
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addFile(QStringLiteral(":/icons/mellowcaster-%1.png").arg(size));
  return icon;
}

QString QtTranslationsFolder() { return QLibraryInfo::path(QLibraryInfo::TranslationsPath); }

bool InstallQtTranslations(QCoreApplication& app, const QString& folder) {
  auto translator = new QTranslator(&app);
  // qtbase holds the dialogs and standard buttons; the application owns it.
  if (!translator->load(QStringLiteral("qtbase_ru"), folder)) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}
