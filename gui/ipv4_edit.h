// The IPv4 address field: an edit field that only ever holds a prefix of a
// dotted quad (digits and at most three dots, at most 15 characters, no part
// above 255). Every key, paste, cut and delete is checked against the text it
// would leave; a refused one is swallowed silently. GUI thread only.
#pragma once

#include <QLineEdit>
#include <QString>
#include <cstdint>

namespace norvane {

// The edit a key would make, applied to `text` with the selection
// [selection_start, selection_start + selection_length) and the caret:
// `key` is a character, '\b' for backspace or 0x7F for Delete and Cut.
// Returns whether the field accepts it. Qt-free logic in Qt types so the
// table of cases can be tested without a widget.
bool ipv4_edit_accepts(const QString& text, int caret, int selection_start, int selection_length,
                       QChar key);

class Ipv4Edit : public QLineEdit {
  Q_OBJECT

 public:
  explicit Ipv4Edit(QWidget* parent = nullptr);

  // Fills the field with the network-order address as "%u.%u.%u.%u", or
  // empties it for the address 0.
  void set_address(uint32_t address);

  // Pastes the clipboard's text when it fits the clipboard block of 16 bytes
  // (15 characters and the terminator): each digit and dot, in order, as if
  // typed; other characters are dropped. Longer or missing text pastes
  // nothing.
  void paste_address();
  // Cut, checked as a removal.
  void cut_checked();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // Checks `key` and performs it when accepted; returns whether it was.
  bool type_key(QChar key);
};

}  // namespace norvane
