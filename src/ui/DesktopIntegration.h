#pragma once
// What the program brings to the desktop beyond its windows: the icon its
// windows carry and Qt's own dialogs and buttons in Russian, the language
// of every text the program shows.
#include <QIcon>
#include <QString>

class QCoreApplication;

// The program's icon at every size it ships (the .desktop entry's icon).
QIcon ProgramIcon();

// The folder Qt's translations are installed in.
QString QtTranslationsFolder();

// Loads Qt's Russian translations (qtbase_ru) from `folder` into the
// application. False, and nothing changed, when they are not installed:
// Qt's dialogs then stay in English and the program works on.
bool InstallQtTranslations(QCoreApplication& app, const QString& folder = QtTranslationsFolder());
