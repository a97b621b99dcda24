#include "ui/controls/PaintedIcon.h"

#include <QPainter>
#include <QPixmap>

QIcon PaintedIcon(int size, const std::function<void(QPainter&)>& paint) {
  QIcon icon;
  for (const qreal ratio : {1.0, 1.25, 1.5, 2.0, 3.0}) {
    const int device = qRound(size * ratio);
    QPixmap p(device, device);
    p.fill(Qt::transparent);
    p.setDevicePixelRatio(ratio);
    {
      QPainter g(&p);
      g.setRenderHint(QPainter::Antialiasing);
      paint(g);
    }
    icon.addPixmap(p);
  }
  return icon;
}
