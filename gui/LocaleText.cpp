// Regional formats for the window.
#include "gui/LocaleText.h"

#include <QDateTime>
#include <QLocale>

namespace vontal {

char LocaleThousandsSeparator() {
    const QString separator = QLocale::system().groupSeparator();
    if (separator.size() != 1) return ',';
    const QChar c = separator.at(0);
    if (c.isSpace()) return ' ';
    if (c.unicode() < 128 && c.isPrint()) return static_cast<char>(c.unicode());
    return ',';
}

QString LocaleDateTimeText(std::time_t t) {
    const QLocale locale = QLocale::system();
    const QDateTime when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(t));
    // The long time format names the time zone, which makes the status line too wide.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QLatin1Char('t'));
    return locale.toString(when.date(), QLocale::ShortFormat) + ' ' +
           locale.toString(when.time(), timeFormat.trimmed());
}

QString LocaleDateText(std::time_t t) {
    return QLocale::system().toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(t)).date(),
                                      QLocale::ShortFormat);
}

}  // namespace vontal
