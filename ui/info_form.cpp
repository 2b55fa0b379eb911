#include "ui/info_form.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "ui/form1.h"
#include "ui/resources_init.h"
#include "ui/shell.h"
#include "ui/widgets.h"

namespace tavrik {

namespace {

QString Web(const char* address) { return QString::fromUtf8(address); }

}  // namespace

InfoForm::InfoForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
  InitResources();
  setObjectName("InfoForm");
  setWindowTitle("Info");
  setWindowIcon(QIcon(":/icons/info-32.png"));
  setFixedSize(Twips(9390), Twips(6405));
  if (parent) setFont(parent->font());

  Picture1 = new QLabel(this);
  Picture1->setObjectName("Picture1");
  Picture1->setPixmap(QPixmap(":/pictures/info.jpg"));
  Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Place(Picture1, 120, 120, 1635, 6135);

  Label[0] = new QLabel("Label1", this);
  Label[0]->setObjectName("Label_0");
  QFont bold;
  bold.setFamilies({"Arial", "Liberation Sans", "DejaVu Sans"});
  bold.setPointSizeF(9.75);
  bold.setBold(true);
  Label[0]->setFont(bold);
  Label[0]->setWordWrap(true);
  Label[0]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label[0]->setTextFormat(Qt::PlainText);
  Place(Label[0], 1920, 120, 7335, 5415);

  Line1 = new QFrame(this);
  Line1->setObjectName("Line1");
  Line1->setFrameShape(QFrame::HLine);
  Line1->setFrameShadow(QFrame::Sunken);
  Line1->setGeometry(Twips(1920), Twips(5580) - 1, Twips(9300) - Twips(1920), 2);

  struct ButtonSpec {
    const char* caption;
    QString tip;
    int left, width;
  };
  const ButtonSpec buttons[] = {
      {"Eine &E-Mail an mich schreiben",
       "... startet Ihr E-Mail-Programm für eine Nachricht an " + Web(address::kMakerMail), 1920,
       1455},
      {"Die Seite 'Aktuelles' auf meiner Web-Site öffnen",
       "... startet Ihren Internet-Browser mit dem Ziel " + Web(address::kMakerNews), 3540, 1995},
      {"Weitere &Tools und Infos auf der Web-Site",
       "... startet Ihren Internet-Browser mit dem Ziel " + Web(address::kMakerTools), 5700, 1995},
      {"Dieses Fenster &schliessen", "... bringt Sie zurück zum Programm", 7860, 1455},
  };
  for (int i = 0; i < 4; ++i) {
    auto* button = new WrapButton(QString::fromUtf8(buttons[i].caption), this);
    button->setObjectName(QString("Btn_%1").arg(i));
    button->setToolTip(buttons[i].tip);
    button->setAutoDefault(false);
    Place(button, buttons[i].left, 5700, buttons[i].width, 555);
    connect(button, &QPushButton::clicked, this, [this, i] { ButtonClicked(i); });
    Btn[static_cast<size_t>(i)] = button;
  }
  for (int i = 1; i < 4; ++i)
    QWidget::setTabOrder(Btn[static_cast<size_t>(i - 1)], Btn[static_cast<size_t>(i)]);
}

QString InfoForm::InfoText(const QString& title, const QString& description) {
  const QChar cr('\r');
  const QString site = Web(address::kMakerSite);
  QStringList lines = {
      title + " – " + description,
      "",
      "Entwickelt und gepflegt vom Tavrik-Team.",
      "",
      title +
          " ist Freeware: Sie dürfen das Programm kostenlos nutzen und unverändert weitergeben.",
      "Die Nutzung geschieht auf eigene Verantwortung; bitte sichern Sie wichtige Daten vor jedem "
      "Abgleich.",
      "",
      "Wenn Ihnen " + title +
          " gefällt, schreiben Sie uns doch eine kurze E-Mail mit Ihren "
          "Erfahrungen und Wünschen. Sie erhalten dann",
      "  • Nachricht, sobald eine neue Version erscheint,",
      "  • Hinweise auf Fehlerkorrekturen und nützliche Tipps,",
      "  • Antworten auf Ihre Fragen direkt vom Tavrik-Team und",
      "  • eine Weiterentwicklung von " + title +
          " – was Ihnen im Endeffekt wiederum selbst zugute "
          "kommt ...",
      "",
      "Verbesserungsvorschläge sind mir gerne willkommen. Weitere interessante Tools/Infos finden "
      "Sie auf meiner Web-Site unter " +
          site,
  };
  return lines.join(cr);
}

void InfoForm::main(const QString& title, const QString& description) {
  setWindowTitle("Info über " + title);
  QString text = InfoText(title, description);
  Label[0]->setText(text.replace('\r', '\n'));
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  exec();
}

void InfoForm::ButtonClicked(int index) {
  switch (index) {
    case 0:
      ShellOpen(this, QString("mailto:") + address::kMakerMail, kShowNormal);
      return;
    case 1:
      ShellOpen(this, Web(address::kMakerNews), kShowNormal);
      return;
    case 2:
      ShellOpen(this, Web(address::kMakerTools), kShowNormal);
      return;
    default:
      close();
  }
}

void ShowInfoForm(QWidget* parent, const QString& title, const QString& description) {
  InfoForm form(parent);
  form.main(title, description);
}

}  // namespace tavrik
