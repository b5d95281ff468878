#include "platform/fontfit.h"

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QWidget>
#include <functional>

namespace fontfit {
namespace {

// The layout is tight (labels 17 pixels high, buttons 25), so the form's text
// is small, in a narrow face where one is installed. A caption that still
// does not fit its box gets a smaller size, down to the smallest legible one.
constexpr int kFontPixelSize = 11;
constexpr int kMinFontPixelSize = 7;
const QStringList kFontFamilies = {"Liberation Sans", "Arimo", "Arial", "Nimbus Sans", "Helvetica"};
// Room a push button's frame takes around its text.
constexpr int kButtonPaddingX = 8;
constexpr int kButtonPaddingY = 4;

// Sets the largest font, from the form's size down, at which the text fits the
// widget (fits(font) says whether it does).
void fitFont(QWidget* w, const std::function<bool(const QFont&)>& fits) {
  QFont font = w->parentWidget() ? w->parentWidget()->font() : w->font();
  int px = font.pixelSize() > 0 ? font.pixelSize() : kFontPixelSize;
  for (; px > kMinFontPixelSize; --px) {
    font.setPixelSize(px);
    if (fits(font)) break;
  }
  font.setPixelSize(px);
  if (font != w->font()) w->setFont(font);
}

}  // namespace

QFont formFont(const QFont& base) {
  QFont font = base;
  font.setFamilies(kFontFamilies);
  font.setPixelSize(kFontPixelSize);
  return font;
}

void fitLabel(QLabel* label) {
  const QString text = label->text();
  const QSize room = label->size();
  fitFont(label, [&](const QFont& font) {
    const QFontMetrics fm(font);
    if (!label->wordWrap()) return fm.horizontalAdvance(text) <= room.width() && fm.height() <= room.height();
    const QRect need = fm.boundingRect(QRect(0, 0, room.width(), room.height()), Qt::TextWordWrap, text);
    return need.width() <= room.width() && need.height() <= room.height();
  });
}

void fitButton(QPushButton* button) {
  const QString text = button->text();
  const QSize room = button->size();
  fitFont(button, [&](const QFont& font) {
    const QFontMetrics fm(font);
    return fm.horizontalAdvance(text) + kButtonPaddingX <= room.width() &&
           fm.height() + kButtonPaddingY <= room.height();
  });
}

}  // namespace fontfit
