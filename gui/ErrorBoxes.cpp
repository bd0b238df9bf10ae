// Error boxes and questions.
#include "gui/ErrorBoxes.h"

#include <QList>
#include <QMessageBox>

#include "gui/Look.h"

namespace vontal {

void ShowErrorBox(QWidget* parent, const QString& message) {
    qWarning("%s", qPrintable(message));
    QString shown = Lines(message);
    // Cut in the middle: a message says what went wrong at its end as often as at its start.
    if (shown.size() > kLongestMessage)
        shown = shown.left(kLongestMessage / 2) + QChar(0x2026) + shown.right(kLongestMessage / 2);
    QList<QMessageBox*> open;
    for (QMessageBox* box :
         parent->findChildren<QMessageBox*>(QLatin1String(kErrorBoxName), Qt::FindDirectChildrenOnly)) {
        if (!box->isVisible()) continue;
        if (box->text() == shown) return;
        open << box;  // in the order they were opened
    }
    while (open.size() >= kOpenErrorBoxes) open.takeFirst()->close();
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vontal factoring"), shown, QMessageBox::Ok,
                                parent);
    box->setObjectName(QLatin1String(kErrorBoxName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

bool AskYesNo(QWidget* parent, const QString& text, bool question) {
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Information, QStringLiteral("Vontal factoring"),
                    Lines(text), QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QLatin1String(kQuestionBoxName));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace vontal
