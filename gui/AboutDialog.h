// The about box: the program's version, a picture, and two blinking lines that open a new mail
// to the project and the project's web page with the desktop's default programs.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>

class QTimer;

namespace vontal {

// The project's contact address and web page.
inline constexpr const char* kProjectMail = "vontal@example.org";
inline constexpr const char* kProjectWeb = "https://example.org/vontal";

// A label that reports a left click.
class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();
protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    // `versionText` is the program's version, as in "Vontal.exe -version 4.4, beta".
    explicit AboutDialog(const QString& versionText, QWidget* parent = nullptr);

    // One tick of the 500 ms blink timer: the address texts stay for 8 ticks (4 seconds), the
    // invitation texts for 4 ticks (2 seconds).
    void BlinkTick();
    bool showsInvitation() const { return invitation_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowLines(bool invitation);
    void MailClicked();
    void WebClicked();

    QLabel* picture_ = nullptr;
    QLabel* aboutText_ = nullptr;
    ClickableLabel* mailLine_ = nullptr;
    ClickableLabel* webLine_ = nullptr;
    QTimer* blinkTimer_ = nullptr;
    unsigned ticks_ = 0;
    bool invitation_ = false;
};

}  // namespace vontal
