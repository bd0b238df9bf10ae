// The four 32x32 pictures of the application and tray icon: the formula 2^2^m+1 in black on a
// field whose colour tells whether a search runs (green) or not (yellow), with a red lower
// triangle once a divisor has been found.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace vontal {

enum class FormulaIcon { Continue, Stop, Found, FoundStop };

// Drawn once per picture and kept.
const QPixmap& FormulaPixmap(FormulaIcon which);
QIcon FormulaQIcon(FormulaIcon which);
// The picture at another size (the launcher's icon): the same drawing, scaled and smoothed.
QImage FormulaPicture(FormulaIcon which, int size);

}  // namespace vontal
