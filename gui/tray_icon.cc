// The desktop's notification-area icon.
#include "gui/tray_icon.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace norvane {

// The tooltip holds at most 62 characters.
constexpr int kTooltipLength = 62;

SystemTrayIcon::SystemTrayIcon(QIcon icon) : icon_(std::move(icon)) {}

SystemTrayIcon::~SystemTrayIcon() { remove(); }

bool SystemTrayIcon::add(const QString& tooltip, QMenu* menu, std::function<void()> restore) {
  // Without a tray host a shown QSystemTrayIcon still reports itself
  // visible; availability is what tells whether anyone can see it.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  tray_ = std::make_unique<QSystemTrayIcon>(icon_);
  tray_->setToolTip(tooltip.left(kTooltipLength));
  tray_->setContextMenu(menu);
  QObject::connect(
      tray_.get(), &QSystemTrayIcon::activated,
      [restore = std::move(restore)](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) restore();
      });
  tray_->show();
  return true;
}

void SystemTrayIcon::remove() {
  if (!tray_) return;
  // Hidden before it goes: quitting with a live icon has been seen to hang.
  tray_->hide();
  tray_.reset();
}

}  // namespace norvane
