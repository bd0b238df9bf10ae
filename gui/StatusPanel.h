// The status panel at the foot of the main window: the summary of the search (begin and end
// dates, the share of the task done and the time left, the memory its tables use, the priority,
// the version, the link to the control server),
// or that the program is stopped, under a line naming a kernel variant that failed its
// self-test, if any (all of them in its tool tip).
#pragma once

#include <QLabel>
#include <QStringList>

#include <cstdint>
#include <ctime>
#include <optional>

namespace vontal {

struct StatusSummary {
    std::optional<std::time_t> dateBegin;  // of the task; nullopt: unknown
    std::optional<std::time_t> dateEnd;    // estimated; nullopt: unknown
    int64_t usedBytes = 0;
    char thousandsSeparator = ',';
    QString priority;  // "1-Idle"
    bool serverConnected = false;
    QString serverHost;
};

class StatusPanel : public QLabel {
public:
    // Spans the width of its parent at its foot.
    StatusPanel(QWidget* parent, int width, int bottom);

    void SetKernelFailures(const QStringList& failures);
    // "Begin: …,  Ending: …" / the progress line / "Used arrays: … byte  Priority: …,  ver.4.4" /
    // the link to the control server.
    void ShowSummary(const StatusSummary& summary);
    // "Done 42.1% of the task,  3h 05m left": kept until the next summary or stop, shown with the
    // summary (at once when it is shown).
    void SetProgress(const QString& progress);
    // "Program is stopped" / "ver.4.4".
    void ShowStopped();

private:
    void Show(const QString& text);
    QString SummaryText() const;

    int width_, bottom_;
    QStringList kernelFailures_;
    std::optional<StatusSummary> summary_;  // while the summary is shown
    QString progress_;
};

}  // namespace vontal
