// The four formula pictures, drawn with QPainter.
#include "gui/FormulaIcons.h"

#include <QFont>
#include <QPainter>
#include <QPolygon>

namespace vontal {

namespace {

QFont FormulaFont(int pixelSize) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

// The picture in a 32 by 32 square; a larger picture scales the painter, so the formula stays a
// drawing rather than enlarged pixels.
void Paint(QPainter& p, FormulaIcon which) {
    const QColor green(0, 255, 0), yellow(255, 255, 0), red(255, 0, 0);
    const bool running = which == FormulaIcon::Continue || which == FormulaIcon::Found;
    const bool found = which == FormulaIcon::Found || which == FormulaIcon::FoundStop;

    p.fillRect(QRect(0, 0, 32, 32), running ? green : yellow);
    if (found) {
        // Red below the diagonal from the top-right to the bottom-left corner.
        p.setPen(Qt::NoPen);
        p.setBrush(red);
        p.drawPolygon(QPolygon({QPoint(32, 0), QPoint(32, 32), QPoint(0, 32)}));
    }
    p.setPen(Qt::black);
    // A large 2, a raised 2, a further raised m, then +1 on the base line.
    p.setFont(FormulaFont(18));
    p.drawText(QPoint(1, 26), QStringLiteral("2"));
    p.setFont(FormulaFont(12));
    p.drawText(QPoint(11, 16), QStringLiteral("2"));
    p.setFont(FormulaFont(10));
    p.drawText(QPoint(18, 9), QStringLiteral("m"));
    p.setFont(FormulaFont(13));
    p.drawText(QPoint(15, 29), QStringLiteral("+1"));
}

QPixmap Draw(FormulaIcon which) {
    QPixmap pixmap(32, 32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::TextAntialiasing, false);
    Paint(p, which);
    return pixmap;
}

}  // namespace

const QPixmap& FormulaPixmap(FormulaIcon which) {
    static const QPixmap pictures[4] = {Draw(FormulaIcon::Continue), Draw(FormulaIcon::Stop),
                                        Draw(FormulaIcon::Found), Draw(FormulaIcon::FoundStop)};
    return pictures[static_cast<int>(which)];
}

QIcon FormulaQIcon(FormulaIcon which) { return QIcon(FormulaPixmap(which)); }

QImage FormulaPicture(FormulaIcon which, int size) {
    if (size == 32) return FormulaPixmap(which).toImage();
    QImage image(size, size, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(size / 32.0, size / 32.0);
    Paint(p, which);
    return image;
}

}  // namespace vontal
