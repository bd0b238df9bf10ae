// The task planner: a modal dialog in which the user keeps up to ten follow-on tasks with an
// estimate of their run time, written to section "Following tasks" of the settings file on OK.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

#include "session/TaskCheck.h"
#include "session/TaskEstimate.h"
#include "settings/FollowingTasks.h"
#include "settings/Settings.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace vontal {

class PlannerDialog : public QDialog {
    Q_OBJECT
public:
    explicit PlannerDialog(QWidget* parent = nullptr);

    // Set by the opener before the dialog is shown: the settings file that holds the follow-on
    // list, the measured processor clock for the MHz box, and the cores the search uses. The
    // estimates are this machine's measured speed, scaled when the MHz box names another clock.
    void SetSettings(ISettings* settings) { settings_ = settings; }
    void SetCpuMHz(uint32_t mhz) { cpuMHz_ = mhz; }
    void SetThreads(uint32_t threads) { threads_ = threads; }
    // The prices the estimates are made with (tests); null: this machine's, measured.
    void SetCostSource(ICostSource* costs) { costs_ = costs; }

    // The result of the task check on the boxes as they stand.
    const TaskCheck& check() const { return check_; }

    // The stored task line of a list entry (the line OK writes for it).
    static QString StoredLine(const QListWidgetItem* entry);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

public slots:
    // Every way of closing (OK, Cancel, Escape, the close box) comes through here.
    void done(int result) override;

private:
    void BuildControls();
    void Opened();
    void LoadTasks();
    void BoxesChanged();
    void EntryChosen();
    void AddClicked();
    void ChangeClicked();
    void DeleteClicked();
    void OkClicked();

    TaskTexts Boxes() const;
    void SetBoxes(const TaskTexts& task);
    void SetBoxText(QLineEdit* box, const QString& text);
    // The entry the boxes make, with its estimate: "n=50 to 50, k=20e12 to 30e12, Days ~ 83".
    QString DisplayForm() const;
    // Whether a list entry other than `except` holds the task of the boxes.
    bool AlreadyListed(const QListWidgetItem* except) const;
    void SelectRow(int row);
    EstimateBasis Basis() const { return {costs_, cpuMHz_, threads_}; }

    ISettings* settings_ = nullptr;
    uint32_t cpuMHz_ = 0;
    uint32_t threads_ = 1;
    ICostSource* costs_ = nullptr;
    TaskCheck check_;
    bool loading_ = false;          // conversion errors of stored lines are not shown
    bool selectingInCode_ = false;  // a selection made by the dialog copies nothing into the boxes

    QLineEdit* firstExponentBox_ = nullptr;
    QLineEdit* lastExponentBox_ = nullptr;
    QLineEdit* lowKBox_ = nullptr;
    QLineEdit* highKBox_ = nullptr;
    QLineEdit* clockBox_ = nullptr;
    QLabel* messageLine_ = nullptr;
    QListWidget* taskList_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* changeButton_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
};

}  // namespace vontal
