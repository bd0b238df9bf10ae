// The program's presence in the system tray: the formula icon whose colour tells whether a search
// runs, the tip with the exponent and k reached, hiding the minimised window in the tray and
// bringing it back on a double click. Where no tray is available the program runs all the same,
// and its window is never hidden where nothing could bring it back.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

#include <filesystem>

class QMenu;
class QSystemTrayIcon;

namespace vontal {

class TrayPresence : public QObject {
    Q_OBJECT
public:
    explicit TrayPresence(QObject* parent);

    void SetIcon(const QIcon& icon);
    // The menu of a right click on the icon (show or hide the window, Continue, Stop, Quit).
    void SetContextMenu(QMenu* menu);
    // The tray shows 63 characters of it; the whole text is kept.
    void SetTip(const QString& tip);
    QString tip() const { return tip_; }
    void Show();
    void Hide();
    bool shown() const;
    // Whether a minimised window may leave the screen for the tray: its icon is there to bring
    // it back.
    bool CanHoldWindow() const;

    // Whether the program starts with its window hidden: the settings file exists and the
    // program can still be reached (its tray icon can be shown), or the user asked for no icon
    // at all ("isHidden" 1).
    static bool StartsHidden(const std::filesystem::path& settingsFile);

signals:
    void restoreRequested();

private:
    QSystemTrayIcon* icon_;
    QString tip_;
};

}  // namespace vontal
