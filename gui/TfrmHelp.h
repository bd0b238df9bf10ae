// The task planner: a modal dialog in which the user keeps up to ten follow-on tasks with an
// estimate of their run time, written to section "Following tasks" of the settings file on OK.
// The same dialog, opened in help mode, shows the program's read-only user guide.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

#include "settings/FollowingTasks.h"
#include "settings/Settings.h"
#include "session/TaskEstimate.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QPushButton;

namespace vontal {

class TfrmHelp : public QDialog {
    Q_OBJECT
public:
    enum class Mode { Help, Planner };

    explicit TfrmHelp(QWidget* parent = nullptr);

    // Set by the opener before the dialog is shown: the mode, the settings file that holds the
    // follow-on list (planner mode), and the measured processor clock for the MHz box.
    void SetMode(Mode mode) { mode_ = mode; }
    Mode mode() const { return mode_; }
    void SetSettings(ISettings* settings) { settings_ = settings; }
    void SetCpuMHz(uint32_t mhz) { cpuMHz_ = mhz; }

    // The result of the task check on the boxes as they stand.
    const TaskCheck& check() const { return check_; }

    // The stored task line of a list entry (the line OK writes for it).
    static QString StoredLine(const QListWidgetItem* entry);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    // Every way of closing (OK, Cancel, Escape, the close box) comes through here.
    void done(int result) override;

private:
    void BuildControls();
    void FormShow();
    void LoadTasks();
    void edtF1Change();
    void lbTaskClick();
    void btAddNewClick();
    void btChangeClick();
    void btDeleteClick();
    void btOKClick();

    TaskTexts Boxes() const;
    void SetBoxes(const TaskTexts& task);
    void SetBoxText(QLineEdit* box, const QString& text);
    // The entry the boxes make, with its estimate: "n=50 to 50, k=20e12 to 30e12, Days ~ 83".
    QString DisplayForm() const;
    // Whether a list entry other than `except` holds the task of the boxes.
    bool AlreadyListed(const QListWidgetItem* except) const;
    void SelectRow(int row);
    void ShowError(const QString& message);

    Mode mode_ = Mode::Planner;
    ISettings* settings_ = nullptr;
    uint32_t cpuMHz_ = 0;
    TaskCheck check_;
    bool loading_ = false;          // conversion errors of stored lines are not shown
    bool selectingInCode_ = false;  // a selection made by the dialog copies nothing into the boxes

    QLineEdit* edtF1 = nullptr;
    QLineEdit* edtF2 = nullptr;
    QLineEdit* edtK1 = nullptr;
    QLineEdit* edtK2 = nullptr;
    QLineEdit* edtSpeed = nullptr;
    QLabel* lblDay = nullptr;
    QListWidget* lbTask = nullptr;
    QPushButton* btAddNew = nullptr;
    QPushButton* btChange = nullptr;
    QPushButton* btDelete = nullptr;
    QPushButton* btOK = nullptr;
    QPushButton* btCancel = nullptr;
    QPlainTextEdit* txtHelp = nullptr;
};

// The user guide shown in help mode.
QString HelpText();

}  // namespace vontal
