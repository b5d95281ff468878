#pragma once
// The forms runtime's text sizes: the form's small font, and captions made to
// fit their boxes, as the tight layout of the window needs.
class QFont;
class QLabel;
class QPushButton;

namespace fontfit {

// The form's font: base in a narrow face where one is installed, small
// enough for labels 17 pixels high and buttons 25.
QFont formFont(const QFont& base);
// Gives the label (or button) the largest font, from its form's size down to
// the smallest legible one, at which its caption fits its box.
void fitLabel(QLabel* label);
void fitButton(QPushButton* button);

}  // namespace fontfit
