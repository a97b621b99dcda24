#include "ui/controls/MessageBox.h"

#include <QMessageBox>

namespace {

TMessageFunction& Current() {
  static TMessageFunction f;
  return f;
}

} // namespace

void ShowMessage(QWidget* parent, const QString& text) {
  if (Current()) {
    Current()(parent, text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("MELLOWCASTER"), text, QMessageBox::Ok, parent);
  box.exec();
}

TMessageFunction SetMessageFunction(TMessageFunction f) {
  TMessageFunction before = std::move(Current());
  Current() = std::move(f);
  return before;
}
