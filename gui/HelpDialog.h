// The user guide: a modal dialog with the program's read-only help text.
#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;

namespace vontal {

class HelpDialog : public QDialog {
    Q_OBJECT
public:
    explicit HelpDialog(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPlainTextEdit* text_ = nullptr;
};

// The user guide's text.
QString HelpText();

}  // namespace vontal
