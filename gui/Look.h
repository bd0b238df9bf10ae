// The program's look, in one place: its bold Arial, the vertical fade behind the main window and
// the planner, and the white captions painted beside task boxes.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLineEdit;
class QPainter;
class QWidget;

namespace vontal {

// Arial (Liberation Sans on Linux, with the same metrics), bold, at a pixel size.
QFont ArialBold(int pixelSize);

// Black at the top to `bottom` at the bottom, one line per pixel row of `height` rows (the
// window's outer height, so the colour reached at the bottom edge does not depend on its frame),
// `width` wide.
void PaintFade(QPainter& painter, int width, int height, QColor bottom);

// A caption in white, left of (dx < 0) or right of a box, on its text line.
void PaintBoxCaption(QPainter& painter, const QLineEdit* box, int dx, const QString& caption);

// Carriage returns, the line break of the program's texts, as the new lines that labels and
// message boxes show.
QString Lines(const QString& text);

}  // namespace vontal
