#pragma once
#include <QFont>

// "MS Sans Serif" and "Courier New" at the same point size.
QFont SansFont(int pointSize, bool bold = false);
QFont MonoFont(int pointSize, bool bold = false);
