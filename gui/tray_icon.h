// The notification-area icon behind a small interface, so that the window's
// rules (shown flag, restore on a left click, the Exit menu) can be tested
// with a fake where no desktop tray exists. GUI thread only.
#pragma once

#include <QIcon>
#include <QString>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace norvane {

class TrayIcon {
 public:
  virtual ~TrayIcon() = default;
  // Shows the icon with `tooltip`, `menu` (not owned) on a right click and
  // `restore` on a left click. Returns whether the desktop shows it: false
  // where it has no tray, which then counts as not shown.
  virtual bool add(const QString& tooltip, QMenu* menu, std::function<void()> restore) = 0;
  virtual void remove() = 0;
};

// The desktop's tray through QSystemTrayIcon.
class SystemTrayIcon : public TrayIcon {
 public:
  explicit SystemTrayIcon(QIcon icon);
  ~SystemTrayIcon() override;
  bool add(const QString& tooltip, QMenu* menu, std::function<void()> restore) override;
  void remove() override;

 private:
  QIcon icon_;
  std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace norvane
