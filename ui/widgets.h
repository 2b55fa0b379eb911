// Small widgets the window needs: buttons and a check box whose captions wrap onto two
// lines within their fixed boxes, and a picture that reports clicks.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QStyledItemDelegate>

namespace tavrik {

class WrapButton : public QPushButton {
  Q_OBJECT
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class WrapCheckBox : public QCheckBox {
  Q_OBJECT
 public:
  using QCheckBox::QCheckBox;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override;
};

// Draws its cells clipped instead of shortened with "…": the narrow mark column would
// otherwise show nothing of a mark but the ellipsis.
class ClippingDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace tavrik
