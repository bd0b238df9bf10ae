// The user guide.
#include "gui/HelpDialog.h"

#include <QPainter>
#include <QPlainTextEdit>
#include <QShowEvent>

#include "gui/Look.h"

namespace vontal {

namespace {
constexpr int kClientWidth = 540;
constexpr int kClientHeight = 330;
}  // namespace

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("helpDialog"));
    setWindowTitle(QStringLiteral("Help"));
    setModal(true);
    setFont(ArialBold(12));
    setFixedSize(kClientWidth, kClientHeight);
    text_ = new QPlainTextEdit(this);
    text_->setObjectName(QStringLiteral("helpText"));
    text_->setReadOnly(true);
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont guide(QStringLiteral("Arial"));
    guide.setPixelSize(13);
    guide.setBold(false);
    text_->setFont(guide);
    text_->setPlainText(HelpText());
    text_->setGeometry(rect());
}

void HelpDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    text_->moveCursor(QTextCursor::Start);
    text_->setFocus();
}

void HelpDialog::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintFade(painter, width(), frameGeometry().height(), QColor(0, 0, 255));
}

}  // namespace vontal
