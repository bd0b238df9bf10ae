// The status panel.
#include "gui/StatusPanel.h"

#include "engine/Records.h"
#include "Version.h"
#include "gui/LocaleText.h"

namespace vontal {

StatusPanel::StatusPanel(QWidget* parent, int width, int bottom) : QLabel(parent), width_(width), bottom_(bottom) {
    setObjectName(QStringLiteral("statusPanel"));
    setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
    QPalette navy = palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    setPalette(navy);
    setGeometry(0, bottom_ - 15, width_, 15);
}

void StatusPanel::SetKernelFailures(const QStringList& failures) {
    kernelFailures_ = failures;
    setToolTip(failures.join(QLatin1Char('\n')));
}

void StatusPanel::ShowSummary(const StatusSummary& summary) {
    summary_ = summary;
    Show(SummaryText());
}

void StatusPanel::SetProgress(const QString& progress) {
    progress_ = progress;
    if (summary_) Show(SummaryText());
}

QString StatusPanel::SummaryText() const {
    const StatusSummary& s = *summary_;
    QString text = s.dateBegin ? QStringLiteral("Begin: ") + LocaleDateTimeText(*s.dateBegin) + QStringLiteral(",  ")
                               : QStringLiteral("Begin: Unknown Date,  ");
    text += s.dateEnd ? QStringLiteral("Ending: ") + LocaleDateText(*s.dateEnd) + QLatin1Char('\n')
                      : QStringLiteral("Ending: Unknown Date\n");
    if (!progress_.isEmpty()) text += progress_ + QLatin1Char('\n');
    text += QStringLiteral("Used arrays: ") + QString::fromStdString(FormatThousands(s.usedBytes, s.thousandsSeparator)) +
            QStringLiteral(" byte  ");
    text += QStringLiteral("Priority: ") + s.priority + QStringLiteral(",  ");
    text += QStringLiteral("ver.") + QString::fromLatin1(kVersionText);
    text += s.serverConnected ? QStringLiteral("\nIs connected with the control server: ") + s.serverHost
                              : QStringLiteral("\nNO connection with the control server");
    return text;
}

void StatusPanel::ShowStopped() {
    summary_.reset();
    progress_.clear();
    Show(QStringLiteral("Program is stopped\nver.") + QString::fromLatin1(kVersionText));
}

void StatusPanel::Show(const QString& text) {
    QString shown = text;
    // The first failure, cut to the panel's width; all of them in its tool tip and the log.
    if (!kernelFailures_.isEmpty())
        shown.prepend(fontMetrics().elidedText(kernelFailures_.first(), Qt::ElideRight, width_) + QLatin1Char('\n'));
    setText(shown);
    const int h = std::max(15, heightForWidth(width_) > 0 ? heightForWidth(width_) : sizeHint().height());
    setGeometry(0, bottom_ - h, width_, h);
}

}  // namespace vontal
