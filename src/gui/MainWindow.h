#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QPalette>
#include <QString>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "commands/Handlers.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vettrix {

class ClickLabel;
class ListModel;

// The real window over a Form1 model. User input goes into the model at once; the model comes
// back onto the widgets in Sync(), after every handler and whenever the platform repaints.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(Form1& form, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows what the model holds now, setting only what differs from the last sync.
  void Sync();
  // The window has been closed; the widgets no longer follow the model.
  bool IsClosed() const { return form_.closed; }

  // Where the banner comes from, and what came: a picture is shown scaled into the banner, an
  // HTML page as its text, anything else leaves the banner empty.
  const std::string& BannerUrl() const { return form_.Scriptlet1.url; }
  void ShowBanner(const HttpAnswer& banner);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct LabelView {
    int number = 0;
    ClickLabel* widget = nullptr;
    std::string caption;
    bool visible = true;
    bool hasForeColor = false;
    Color foreColor;
  };
  struct ComboView {
    ComboBox* model = nullptr;
    QComboBox* widget = nullptr;
    ListModel* items = nullptr;
    int listRevision = 0;
    int listIndex = -1;
    std::string text;
    bool visible = true;
    bool pickInList = false;  // the open list is handling a click or key that picks an entry
  };
  struct CheckView {
    CheckBox* model = nullptr;
    QCheckBox* widget = nullptr;
    int value = 0;
    std::string caption;
  };
  struct ButtonView {
    CommandButton* model = nullptr;
    QPushButton* widget = nullptr;
    std::string caption;
  };

  void BuildControls(QWidget* client);
  void BuildMenus();
  void SetFocusOrder();
  // Runs a handler the user triggered, then shows what it left in the model.
  void Run(Handler handler);

  void SyncAll(bool force);
  void SyncLabel(LabelView& view, bool force);
  void SyncCombo(ComboView& view, bool force);
  void SyncCheck(CheckView& view, bool force);
  void SyncButton(ButtonView& view, bool force);
  void SyncBanner(bool force);

  Form1& form_;

  std::string caption_;
  QLineEdit* text1_ = nullptr;
  std::string text1Text_;
  std::vector<ComboView> combos_;
  std::vector<ButtonView> buttons_;
  std::vector<CheckView> checks_;
  std::vector<LabelView> labels_;
  QPalette labelPalette_;

  QLabel* banner_ = nullptr;
  Rect bannerRect_;
};

}  // namespace vettrix
