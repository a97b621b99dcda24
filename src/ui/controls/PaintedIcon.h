#pragma once
// Icons the program draws itself, painted once for each device pixel ratio
// a screen is likely to have, so that a scaled screen shows them sharp.
#include <QIcon>
#include <functional>

class QPainter;

// `paint` draws in a square of `size` logical pixels.
QIcon PaintedIcon(int size, const std::function<void(QPainter&)>& paint);
