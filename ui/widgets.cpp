#include "ui/widgets.h"

#include <QMouseEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace tavrik {

namespace {

int MnemonicFlags(const QWidget* w, const QStyleOption& opt) {
  bool underline = w->style()->styleHint(QStyle::SH_UnderlineShortcut, &opt, w);
  return Qt::TextWordWrap | (underline ? Qt::TextShowMnemonic : Qt::TextHideMnemonic);
}

}  // namespace

void WrapButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton opt;
  initStyleOption(&opt);
  const QString caption = opt.text;
  opt.text.clear();
  painter.drawControl(QStyle::CE_PushButton, opt);
  QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this);
  style()->drawItemText(&painter, area, Qt::AlignCenter | MnemonicFlags(this, opt), opt.palette,
                        isEnabled(), caption, QPalette::ButtonText);
}

void WrapCheckBox::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton opt;
  initStyleOption(&opt);
  const QString caption = opt.text;
  opt.text.clear();
  QStyleOptionButton indicator = opt;
  indicator.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, this);
  indicator.rect.moveTop((height() - indicator.rect.height()) / 2);
  painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);
  QRect text = rect().adjusted(indicator.rect.right() + 5, 0, 0, 0);
  style()->drawItemText(&painter, text, Qt::AlignLeft | Qt::AlignVCenter | MnemonicFlags(this, opt),
                        opt.palette, isEnabled(), caption, QPalette::WindowText);
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = text;
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
  }
}

bool WrapCheckBox::hitButton(const QPoint& pos) const { return rect().contains(pos); }

void ClippingDelegate::initStyleOption(QStyleOptionViewItem* option,
                                       const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  option->textElideMode = Qt::ElideNone;
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
  QLabel::mouseReleaseEvent(event);
}

}  // namespace tavrik
