// The program's look.
#include "gui/Look.h"

#include <QLineEdit>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace vontal {

QFont ArialBold(int pixelSize) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

void PaintFade(QPainter& painter, int width, int height, QColor bottom) {
    const int h = std::max(1, height);
    const double f = 1.0 / h;
    for (int y = 0; y <= h; ++y) {
        const double share = std::min(1.0, y * f);
        painter.setPen(QColor(static_cast<int>(std::floor(bottom.red() * share)),
                              static_cast<int>(std::floor(bottom.green() * share)),
                              static_cast<int>(std::floor(bottom.blue() * share))));
        painter.drawLine(0, y, width, y);
    }
}

void PaintBoxCaption(QPainter& painter, const QLineEdit* box, int dx, const QString& caption) {
    painter.setPen(Qt::white);
    const QPoint at(box->x() + dx, box->y() + 4);
    painter.drawText(QRect(at, QSize(60, box->height())), Qt::AlignLeft | Qt::AlignTop, caption);
}

QString Lines(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

}  // namespace vontal
