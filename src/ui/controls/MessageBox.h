#pragma once
// The one way a message reaches the user from the windows.
#include <QString>
#include <functional>
#include <string>

class QWidget;

// A plain message box with one OK button. Every window message goes through
// here; tests replace it so that no dialog ever waits for a click.
using TMessageFunction = std::function<void(QWidget* parent, const QString& text)>;
void ShowMessage(QWidget* parent, const QString& text);
inline void ShowMessage(QWidget* parent, const std::string& utf8) { ShowMessage(parent, QString::fromStdString(utf8)); }
// Installs a replacement; an empty function restores the message box. Returns
// the one before.
TMessageFunction SetMessageFunction(TMessageFunction f);
