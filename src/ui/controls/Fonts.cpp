#include "ui/controls/Fonts.h"

#include <QStringList>

QFont SansFont(int pointSize, bool bold) {
  QFont f;
  f.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
  f.setPointSize(pointSize);
  f.setBold(bold);
  return f;
}

QFont MonoFont(int pointSize, bool bold) {
  QFont f;
  f.setFamilies({QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")});
  f.setStyleHint(QFont::Monospace);
  f.setPointSize(pointSize);
  f.setBold(bold);
  return f;
}
