// The IPv4 address field.
#include "gui/ipv4_edit.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QStringList>
#include <memory>

namespace norvane {
namespace {

constexpr int kMaxLength = 15;
constexpr int kClipboardBlockSize = 16;
constexpr char16_t kBackspace = u'\b';
constexpr char16_t kRemoval = 0x7F;

}  // namespace

bool ipv4_edit_accepts(const QString& text, int caret, int selection_start, int selection_length,
                       QChar key) {
  const char16_t code = key.unicode();
  const bool removal = code == kBackspace || code == kRemoval;
  if (!removal && code != u'.' && (code < u'0' || code > u'9')) return false;
  if (code != kBackspace && text.size() >= kMaxLength) return false;
  if (code == u'.' && text.count(u'.') >= 3) return false;

  QString result = text;
  if (selection_length > 0) {
    result.remove(selection_start, selection_length);
    if (!removal) result.insert(selection_start, key);
  } else if (code == kRemoval) {
    if (caret < result.size()) result.remove(caret, 1);
  } else if (code == kBackspace) {
    if (caret > 0) result.remove(caret - 1, 1);
  } else {
    result.insert(caret, key);
  }
  for (const QString& part : result.split(u'.')) {
    if (part.isEmpty()) continue;
    bool number = false;
    const uint value = part.toUInt(&number, 10);
    if (!number || value > 255) return false;
  }
  return true;
}

Ipv4Edit::Ipv4Edit(QWidget* parent) : QLineEdit(parent) {
  setMaxLength(kMaxLength);
  // Drops would bypass the key check.
  setAcceptDrops(false);
}

void Ipv4Edit::set_address(uint32_t address) {
  if (address == 0) {
    clear();
    return;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  setText(QStringLiteral("%1.%2.%3.%4").arg(bytes[0]).arg(bytes[1]).arg(bytes[2]).arg(bytes[3]));
}

bool Ipv4Edit::type_key(QChar key) {
  const int start = hasSelectedText() ? selectionStart() : cursorPosition();
  const int length = hasSelectedText() ? static_cast<int>(selectedText().size()) : 0;
  if (!ipv4_edit_accepts(text(), cursorPosition(), start, length, key)) return false;
  const char16_t code = key.unicode();
  if (code == kBackspace) {
    backspace();
  } else if (code == kRemoval) {
    del();
  } else {
    insert(QString(key));
  }
  return true;
}

void Ipv4Edit::paste_address() {
  const QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return;
  const QByteArray bytes = clipboard->text().toLocal8Bit();
  if (bytes.isEmpty() || bytes.size() + 1 > kClipboardBlockSize) return;
  for (const char c : bytes) {
    if ((c >= '0' && c <= '9') || c == '.') type_key(QChar(c));
  }
}

void Ipv4Edit::cut_checked() {
  if (!hasSelectedText()) {
    // As a removal at the caret it deletes one character, like Delete.
    type_key(QChar(kRemoval));
    return;
  }
  if (ipv4_edit_accepts(text(), cursorPosition(), selectionStart(),
                        static_cast<int>(selectedText().size()), QChar(kRemoval)))
    cut();
}

void Ipv4Edit::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste)) {
    paste_address();
    return;
  }
  if (event->matches(QKeySequence::Cut)) {
    cut_checked();
    return;
  }
  if (event->key() == Qt::Key_Delete) {
    type_key(QChar(kRemoval));
    return;
  }
  if (event->key() == Qt::Key_Backspace) {
    type_key(QChar(kBackspace));
    return;
  }
  const QString typed = event->text();
  if (typed.size() == 1 && typed[0].isPrint()) {
    type_key(typed[0]);
    return;
  }
  // Navigation, selection, copy and other control keys.
  QLineEdit::keyPressEvent(event);
}

void Ipv4Edit::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(createStandardContextMenu());
  // The standard entries would change the text unchecked; route them here.
  for (QAction* action : menu->actions()) {
    const QString name = action->objectName();
    if (name == QLatin1String("edit-paste")) {
      action->disconnect();
      connect(action, &QAction::triggered, this, &Ipv4Edit::paste_address);
    } else if (name == QLatin1String("edit-cut")) {
      action->disconnect();
      connect(action, &QAction::triggered, this, &Ipv4Edit::cut_checked);
    } else if (name == QLatin1String("edit-delete")) {
      action->disconnect();
      connect(action, &QAction::triggered, this, [this] { type_key(QChar(kRemoval)); });
    } else if (name == QLatin1String("edit-undo") || name == QLatin1String("edit-redo")) {
      action->setEnabled(false);
    }
  }
  menu->exec(event->globalPos());
}

}  // namespace norvane
