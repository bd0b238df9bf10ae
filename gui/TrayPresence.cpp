// The tray icon.
#include "gui/TrayPresence.h"

#include <QSystemTrayIcon>

#include "settings/IniFile.h"

namespace vontal {

TrayPresence::TrayPresence(QObject* parent) : QObject(parent), icon_(new QSystemTrayIcon(this)) {
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) emit restoreRequested();
    });
}

void TrayPresence::SetIcon(const QIcon& icon) { icon_->setIcon(icon); }

void TrayPresence::SetContextMenu(QMenu* menu) { icon_->setContextMenu(menu); }

void TrayPresence::SetTip(const QString& tip) {
    tip_ = tip;
    icon_->setToolTip(tip.left(63));
}

void TrayPresence::Show() { icon_->show(); }
void TrayPresence::Hide() { icon_->hide(); }
bool TrayPresence::shown() const { return icon_->isVisible(); }

bool TrayPresence::CanHoldWindow() const { return icon_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable(); }

bool TrayPresence::StartsHidden(const std::filesystem::path& settingsFile) {
    std::error_code ec;
    if (!std::filesystem::exists(settingsFile, ec)) return false;
    IniFile ini(settingsFile);
    if (ini.ReadInteger("f", "isHidden", 0) == 1) return true;
    // With no tray to show the icon in, a hidden window could never be brought back.
    return QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace vontal
