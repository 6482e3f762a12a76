// Where a window that belongs to another one opens: beside its owner, wholly on the screen.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// The top-left of a window frame of size frame that opens beside owner (the owner's frame):
// to its right where that fits in available (the screen less panels and docks), else to its
// left, else over it; always wholly inside available as far as the frame fits in it.
QPoint BesideOwner(const QRect& owner, const QSize& frame, const QRect& available);
