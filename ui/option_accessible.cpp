#include "ui/option_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeySequence>
#include <QRadioButton>

namespace tavrik {

namespace {

constexpr const char* kExclusiveByHand = "tavrikExclusiveByHand";

class RadioOptionAccessible : public QAccessibleWidget {
 public:
  explicit RadioOptionAccessible(QRadioButton* button)
      : QAccessibleWidget(button, QAccessible::RadioButton) {}

  QAccessible::State state() const override {
    QAccessible::State st = QAccessibleWidget::state();
    st.checkable = true;
    st.checked = Button()->isChecked();
    return st;
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) {
      const QString name = widget()->accessibleName();
      if (!name.isEmpty()) return name;
      QString caption = Button()->text();
      // "&&" is a literal ampersand, a single "&" marks the mnemonic.
      caption.replace(QLatin1String("&&"), QChar(0x1));
      caption.remove(QLatin1Char('&'));
      caption.replace(QChar(0x1), QLatin1Char('&'));
      return caption;
    }
    if (t == QAccessible::Accelerator)
      return QKeySequence::mnemonic(Button()->text()).toString(QKeySequence::NativeText);
    return QAccessibleWidget::text(t);
  }

  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (widget()->isEnabled()) names.prepend(QAccessibleActionInterface::toggleAction());
    return names;
  }

  void doAction(const QString& action) override {
    if (!widget()->isEnabled()) return;
    // Selecting an option is the one action; it never unchecks (one option stays selected).
    if (action == QAccessibleActionInterface::pressAction() ||
        action == QAccessibleActionInterface::toggleAction()) {
      if (!Button()->isChecked()) Button()->click();
      return;
    }
    QAccessibleWidget::doAction(action);
  }

 private:
  QRadioButton* Button() const { return static_cast<QRadioButton*>(widget()); }
};

QAccessibleInterface* RadioOptionFactory(const QString& class_name, QObject* object) {
  if (class_name != QLatin1String("QRadioButton") || !object ||
      !object->property(kExclusiveByHand).toBool())
    return nullptr;
  return new RadioOptionAccessible(static_cast<QRadioButton*>(object));
}

}  // namespace

void AnnounceAsRadioButton(QRadioButton* button) {
  static const bool installed = [] {
    QAccessible::installFactory(RadioOptionFactory);
    return true;
  }();
  (void)installed;
  button->setProperty(kExclusiveByHand, true);
  // Qt may have made and cached the button's interface already (setting its caption asks
  // for it); drop that one, so the next query comes to the factory.
  QAccessibleInterface* cached = QAccessible::queryAccessibleInterface(button);
  if (cached && !dynamic_cast<RadioOptionAccessible*>(cached))
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(cached));
}

}  // namespace tavrik
