// The about box: the program's version, the kernel in use, a picture, and two blinking lines that
// open the licence's text and the data folder with the desktop's default programs.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>

class QTimer;

namespace vontal {

// Where the licence's text is read.
inline constexpr const char* kLicenceName = "GPL-3.0-or-later";
inline constexpr const char* kLicenceUrl = "https://www.gnu.org/licenses/gpl-3.0.html";

// What the about box tells.
struct AboutFacts {
    QString version;  // "4.4"
    QString dataDir;  // the folder of "Vontal.ini", "Result.txt" and "Vontal.log"
    QString kernel;   // the candidate test's variant in use
};

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
    explicit AboutDialog(const AboutFacts& facts, QWidget* parent = nullptr);

    // One tick of the 500 ms blink timer: the licence's name and the folder stay for 8 ticks (4
    // seconds), the invitation texts for 4 ticks (2 seconds).
    void BlinkTick();
    bool showsInvitation() const { return invitation_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowLines(bool invitation);
    void LicenceClicked();
    void FolderClicked();

    QLabel* picture_ = nullptr;
    QLabel* aboutText_ = nullptr;
    ClickableLabel* licenceLine_ = nullptr;
    ClickableLabel* folderLine_ = nullptr;
    QString dataDir_;
    QTimer* blinkTimer_ = nullptr;
    unsigned ticks_ = 0;
    bool invitation_ = false;
};

}  // namespace vontal
