#include "gui/MainWindow.h"

#include <QAbstractListModel>
#include <QBuffer>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "app/Banner.h"
#include "commands/Handlers.h"
#include "gui/Accessibility.h"

namespace vettrix {
namespace {

constexpr int kTwipsPerPixel = 15;
// A picture this large would take longer to decode than the banner is worth.
constexpr int kBannerMaxImageSide = 4096;

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A label shows at most this many characters and "\u2026" after them. No window is wide enough
// for more, and laying out a database field of megabytes would freeze the window for seconds.
constexpr qsizetype kMaxLabelChars = 512;

QString LabelText(std::string_view caption) {
  // UTF-8 takes at most 4 bytes a character, so this prefix holds more than enough of them.
  constexpr std::size_t kPrefixBytes = 4 * (kMaxLabelChars + 2);
  QString text = ToQString(caption.substr(0, kPrefixBytes));
  if (text.size() > kMaxLabelChars) {
    qsizetype keep = kMaxLabelChars;
    if (text.at(keep - 1).isHighSurrogate()) --keep;
    text.truncate(keep);
    text += QChar(0x2026);
  }
  return text;
}

// Buttons, check boxes and menus would take "&" as a mnemonic marker; captions are shown as is.
QString MnemonicFree(std::string_view text) {
  return ToQString(text).replace(u'&', QStringLiteral("&&"));
}

int ToPixels(int twips) {
  return static_cast<int>(std::lround(twips / double(kTwipsPerPixel)));
}

QRect ToPixels(const Rect& rect) {
  return QRect(ToPixels(rect.left), ToPixels(rect.top), ToPixels(rect.width),
               ToPixels(rect.height));
}

QFont ToQFont(const Font& font) {
  QFont result;  // an empty face keeps the toolkit's default family
  if (!font.face.empty()) result.setFamily(ToQString(font.face));
  result.setPointSizeF(font.points);
  result.setBold(font.bold);
  if (font.heavy) result.setWeight(QFont::Black);
  result.setItalic(font.italic);
  result.setUnderline(font.underline);
  return result;
}

void SetCommonStyle(QWidget* widget, std::string_view name, const Rect& rect, const Font& font) {
  widget->setObjectName(ToQString(name));
  widget->setGeometry(ToPixels(rect));
  widget->setFont(ToQFont(font));
}

}  // namespace

// The combo boxes are narrow for their numbers (four digits in the quantity box): a slim
// drop-down button and a thin frame leave the text its room without moving anything. The
// toolkit's own style draws them.
class SlimComboStyle final : public QProxyStyle {
 public:
  QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                       const QWidget* widget) const override {
    if (control != CC_ComboBox || (part != SC_ComboBoxArrow && part != SC_ComboBoxEditField))
      return QProxyStyle::subControlRect(control, option, part, widget);
    constexpr int kFrame = 1, kButton = 9;
    const QRect box = option->rect;
    const QRect area = part == SC_ComboBoxArrow
                           ? QRect(box.right() - kButton + 1, box.top(), kButton, box.height())
                           : box.adjusted(kFrame, kFrame, -kButton, -kFrame);
    return visualRect(option->direction, box, area);
  }
};

// A label that reports a left click: press and release both on the label, as a button would.
class ClickLabel final : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> onClick;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (!onClick || event->button() != Qt::LeftButton) return QLabel::mousePressEvent(event);
    pressed_ = true;
    event->accept();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (!onClick || event->button() != Qt::LeftButton) return QLabel::mouseReleaseEvent(event);
    event->accept();
    const bool wasPressed = std::exchange(pressed_, false);
    if (wasPressed && rect().contains(event->position().toPoint())) onClick();
  }

 private:
  bool pressed_ = false;
};

// A combo box's entries straight from the model's vector: a device list of 100,000 entries is
// shown without copying it into Qt item by item.
class ListModel final : public QAbstractListModel {
 public:
  ListModel(const std::vector<std::string>& list, QObject* parent)
      : QAbstractListModel(parent), list_(list) {}

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : rows_; }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
    // The core may have changed the vector since the last reload; rows it dropped read empty.
    const auto row = static_cast<std::size_t>(index.row());
    if (!index.isValid() || row >= list_.size()) return QString();
    return ToQString(list_[row]);
  }

  void Reload() {
    beginResetModel();
    rows_ = static_cast<int>(list_.size());
    endResetModel();
  }

 private:
  const std::vector<std::string>& list_;
  int rows_ = 0;
};

MainWindow::MainWindow(Form1& form, QWidget* parent) : QMainWindow(parent), form_(form) {
  setObjectName(QStringLiteral("Form1"));
  auto* client = new QWidget(this);
  client->setFixedSize(ToPixels(Form1::kClientWidth), ToPixels(Form1::kClientHeight));
  setCentralWidget(client);
  // The layout is fixed in twips, so the window keeps the size of its client area and menu bar.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  BuildControls(client);
  BuildMenus();
  SetFocusOrder();
  DescribeControls(*this);
  SyncAll(true);
  text1_->setFocus();
}

MainWindow::~MainWindow() {
  // The widgets outlive this object's members: QWidget's destructor still closes the window, and
  // a combo box losing focus then reports its text as a picked entry. The handlers use those
  // members, so nothing may reach them any more.
  for (QObject* child : findChildren<QObject*>())
    QObject::disconnect(child, nullptr, this, nullptr);
}

void MainWindow::BuildControls(QWidget* client) {
  text1_ = new QLineEdit(client);
  SetCommonStyle(text1_, "Text1", form_.Text1.rect, form_.Text1.font);
  // Qt's default limit of 32767 characters would cut a long paste short without a word.
  text1_->setMaxLength(std::numeric_limits<int>::max());
  connect(text1_, &QLineEdit::textEdited, this, [this](const QString& text) {
    text1Text_ = text.toStdString();
    form_.Text1.text = text1Text_;
  });

  auto* comboStyle = new SlimComboStyle;
  comboStyle->setParent(this);
  combos_.resize(2);
  combos_[0].model = &form_.Combo1;
  combos_[1].model = &form_.Combo2;
  for (std::size_t i = 0; i < combos_.size(); ++i) {
    ComboView& view = combos_[i];
    view.widget = new QComboBox(client);
    SetCommonStyle(view.widget, i == 0 ? "Combo1" : "Combo2", view.model->rect, view.model->font);
    view.widget->setEditable(true);
    view.widget->setStyle(comboStyle);
    view.items = new ListModel(view.model->list, view.widget);
    view.widget->setModel(view.items);
    // Typed text stays exactly as typed: no completion from the list, no new entries on Return.
    view.widget->setCompleter(nullptr);
    view.widget->setInsertPolicy(QComboBox::NoInsert);
    // Measuring every entry for a size hint would walk the whole device list.
    view.widget->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    if (auto* popup = qobject_cast<QListView*>(view.widget->view()))
      popup->setUniformItemSizes(true);
    connect(view.widget->lineEdit(), &QLineEdit::textEdited, this, [this, i](const QString& text) {
      ComboView& edited = combos_[i];
      edited.text = text.toStdString();
      edited.listIndex = -1;
      edited.model->text = edited.text;
      edited.model->listIndex = -1;
    });
    // Qt also reports a typed text that matches an entry as picked, on Return and whenever the
    // focus leaves the box. Only a pick in the open list is one: the list's own mouse releases
    // and keys mark it.
    QAbstractItemView* list = view.widget->view();
    list->installEventFilter(this);
    list->viewport()->installEventFilter(this);
    connect(view.widget, &QComboBox::activated, this, [this, i](int index) {
      ComboView& picked = combos_[i];
      if (!std::exchange(picked.pickInList, false)) {
        picked.listIndex = std::numeric_limits<int>::min();  // put the model's state back
        SyncCombo(picked, false);
        return;
      }
      picked.model->Select(index);
      picked.listIndex = picked.model->listIndex;
      picked.text = picked.model->text;
    });
  }

  for (const auto& [name, model] :
       {std::pair{"Command1", &form_.Command1}, std::pair{"Command2", &form_.Command2}}) {
    ButtonView& view = buttons_.emplace_back();
    view.model = model;
    view.widget = new QPushButton(client);
    SetCommonStyle(view.widget, name, model->rect, model->font);
    connect(view.widget, &QPushButton::clicked, this,
            [this, handler = HandlerOf(name)] { Run(handler); });
  }
  // Return in the IMEI box validates, as a click on Validate would.
  connect(text1_, &QLineEdit::returnPressed, buttons_[0].widget, &QPushButton::click);

  for (int n = 1; n <= Form1::kCheckCount; ++n) {
    CheckView view;
    view.model = &form_.CheckAt(n);
    view.widget = new QCheckBox(client);
    SetCommonStyle(view.widget, "Check" + std::to_string(n), view.model->rect, view.model->font);
    const std::size_t i = checks_.size();
    connect(view.widget, &QCheckBox::clicked, this, [this, i](bool checked) {
      checks_[i].value = checked ? 1 : 0;
      checks_[i].model->value = checks_[i].value;
    });
    checks_.push_back(view);
  }

  for (int n = 1; n <= Form1::kLabelCount; ++n) {
    const Label& model = form_.LabelAt(n);
    LabelView view;
    view.number = n;
    view.widget = new ClickLabel(client);
    SetCommonStyle(view.widget, "Label" + std::to_string(n), model.rect, model.font);
    // Captions carry user input (the IMEI, typed device names): never markup.
    view.widget->setTextFormat(Qt::PlainText);
    view.widget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    view.widget->setFocusPolicy(Qt::NoFocus);
    if (model.link) {
      view.widget->setCursor(Qt::PointingHandCursor);
      view.widget->onClick = [this, n] {
        if (form_.closed) return;
        Label_Click(form_, n);
        Sync();
      };
    }
    labels_.push_back(view);
  }
  labelPalette_ = labels_.front().widget->palette();

  banner_ = new QLabel(client);
  banner_->setObjectName(QStringLiteral("Scriptlet1"));
  banner_->setTextFormat(Qt::PlainText);
  banner_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  banner_->setWordWrap(true);
  banner_->setFocusPolicy(Qt::TabFocus);
}

namespace {

// A click in the open list, or a key that closes it on its current entry (the list takes these
// as shortcuts first).
bool PicksInList(const QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease) return true;
  if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<const QKeyEvent*>(event);
  switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Select:
    case Qt::Key_F4:
      return true;
    case Qt::Key_Down:
    case Qt::Key_Up:
      return key->modifiers().testFlag(Qt::AltModifier);
    default:
      return false;
  }
}

}  // namespace

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  const bool pick = PicksInList(event);
  if (pick) {
    for (ComboView& view : combos_) {
      QAbstractItemView* list = view.widget->view();
      if (watched != list && watched != list->viewport()) continue;
      // Marks the pick the list makes while handling this event, and nothing later.
      view.pickInList = true;
      QTimer::singleShot(0, this, [this, widget = view.widget] {
        for (ComboView& other : combos_)
          if (other.widget == widget) other.pickInList = false;
      });
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::BuildMenus() {
  const auto hasItems = [](std::string_view name) {
    return std::any_of(kMenus.begin(), kMenus.end(),
                       [name](const MenuEntry& entry) { return entry.parent == name; });
  };

  for (const MenuEntry& entry : kMenus) {
    const QString name = ToQString(entry.name);
    if (entry.parent.empty() && hasItems(entry.name)) {
      QMenu* menu = menuBar()->addMenu(MnemonicFree(entry.caption));
      menu->setObjectName(name);
      continue;
    }
    QAction* action = nullptr;
    if (entry.parent.empty()) {
      action = menuBar()->addAction(MnemonicFree(entry.caption));
    } else {
      auto* menu = menuBar()->findChild<QMenu*>(ToQString(entry.parent));
      action = menu->addAction(MnemonicFree(entry.caption));
    }
    action->setObjectName(name);
    if (const Handler handler = HandlerOf(entry.name))
      connect(action, &QAction::triggered, this, [this, handler] { Run(handler); });
  }
}

void MainWindow::SetFocusOrder() {
  QWidget* previous = nullptr;
  for (std::string_view name : kFocusOrder) {
    auto* widget = centralWidget()->findChild<QWidget*>(ToQString(name));
    if (widget == nullptr) continue;
    if (previous != nullptr) setTabOrder(previous, widget);
    previous = widget;
  }
}

void MainWindow::Run(void (*handler)(Form1&)) {
  if (form_.closed) return;
  handler(form_);
  Sync();
}

void MainWindow::Sync() {
  if (form_.closed) return;
  SyncAll(false);
}

void MainWindow::SyncAll(bool force) {
  if (force || caption_ != form_.caption) {
    caption_ = form_.caption;
    setWindowTitle(ToQString(caption_));
  }
  if (force || text1Text_ != form_.Text1.text) {
    text1Text_ = form_.Text1.text;
    QSignalBlocker block(text1_);
    text1_->setText(ToQString(text1Text_));
  }
  for (ComboView& view : combos_) SyncCombo(view, force);
  for (ButtonView& view : buttons_) SyncButton(view, force);
  for (CheckView& view : checks_) SyncCheck(view, force);
  for (LabelView& view : labels_) SyncLabel(view, force);
  SyncBanner(force);
}

void MainWindow::SyncLabel(LabelView& view, bool force) {
  const Label& model = form_.LabelAt(view.number);
  if (force || view.caption != model.caption) {
    view.caption = model.caption;
    view.widget->setText(LabelText(view.caption));
    ShowAccessibleValue(*view.widget, view.widget->text());
    // Labels grow to the right to show their whole text, and never shrink below the design.
    const QRect design = ToPixels(model.rect);
    view.widget->resize(std::max(design.width(), view.widget->sizeHint().width()), design.height());
  }
  if (force || view.hasForeColor != model.hasForeColor || view.foreColor != model.foreColor) {
    view.hasForeColor = model.hasForeColor;
    view.foreColor = model.foreColor;
    QPalette palette = labelPalette_;
    if (view.hasForeColor) {
      palette.setColor(QPalette::WindowText,
                       QColor(view.foreColor.r, view.foreColor.g, view.foreColor.b));
    }
    view.widget->setPalette(palette);
  }
  if (force || view.visible != model.visible) {
    view.visible = model.visible;
    view.widget->setVisible(view.visible);
  }
}

void MainWindow::SyncCombo(ComboView& view, bool force) {
  const ComboBox& model = *view.model;
  QSignalBlocker block(view.widget);
  bool indexChanged = false;
  if (force || view.listRevision != model.listRevision) {
    view.listRevision = model.listRevision;
    view.items->Reload();
    indexChanged = true;  // a reset moves Qt's selection; put the model's back
  }
  if (indexChanged || view.listIndex != model.listIndex) {
    view.listIndex = model.listIndex;
    view.widget->setCurrentIndex(view.listIndex);
    indexChanged = true;
  }
  // Selecting an entry rewrites the edit field, so the model's text goes back in after it.
  if (indexChanged || view.text != model.text) {
    view.text = model.text;
    view.widget->setEditText(ToQString(view.text));
  }
  if (force || view.visible != model.visible) {
    view.visible = model.visible;
    view.widget->setVisible(view.visible);
  }
}

void MainWindow::SyncCheck(CheckView& view, bool force) {
  const CheckBox& model = *view.model;
  if (force || view.caption != model.caption) {
    view.caption = model.caption;
    view.widget->setText(MnemonicFree(view.caption));
  }
  if (force || view.value != model.value) {
    view.value = model.value;
    QSignalBlocker block(view.widget);
    view.widget->setChecked(view.value != 0);
  }
}

void MainWindow::SyncButton(ButtonView& view, bool force) {
  if (force || view.caption != view.model->caption) {
    view.caption = view.model->caption;
    view.widget->setText(MnemonicFree(view.caption));
  }
}

void MainWindow::SyncBanner(bool force) {
  if (force || !(bannerRect_ == form_.Scriptlet1.rect)) {
    bannerRect_ = form_.Scriptlet1.rect;
    banner_->setGeometry(ToPixels(bannerRect_));
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  Form_Unload(form_);
  event->accept();
}

void MainWindow::ShowBanner(const HttpAnswer& banner) {
  if (form_.closed) return;
  banner_->clear();
  const QString type = QString::fromStdString(banner.contentType).toLower();
  if (type.startsWith(u"image/")) {
    QBuffer buffer;
    buffer.setData(banner.body.data(), static_cast<qsizetype>(banner.body.size()));
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.width() > kBannerMaxImageSide || size.height() > kBannerMaxImageSide))
      return;
    QImage image = reader.read();
    if (image.isNull()) return;
    if (image.width() > banner_->width() || image.height() > banner_->height())
      image = image.scaled(banner_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    banner_->setPixmap(QPixmap::fromImage(image));
  } else if (type.contains(u"html")) {
    const std::string text = BannerText(banner.body);
    banner_->setText(ToQString(text));
  }
}

}  // namespace vettrix
