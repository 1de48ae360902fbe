// The window as a screen reader and a keyboard meet it: Return in the IMEI box validates, every
// control has a name, and what is shown only as a value or a colour is read with its meaning.

#include <QAccessible>
#include <QAccessibleInterface>

#include "gui/RealWindow.h"

namespace vettrix {
namespace {

using AccessibilityTest = test::RealWindowTest;

QString AccessibleName(QObject* object) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(object);
  return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
}

TEST_F(AccessibilityTest, ReturnValidatesAndEveryControlIsNamedWithWhatItShows) {
  Start(test::MakeDatabase(3));
  EXPECT_EQ(window.windowTitle(), "Vettrix v2.1.3-r26 Professional Edition");

  auto* text1 = Find<QLineEdit>("Text1");
  text1->selectAll();
  QTest::keyClicks(text1, "100000021234561");
  QTest::keyClick(text1, Qt::Key_Return);
  ASSERT_EQ(form.Label16.caption, "VALID");

  for (const auto& [control, name] : {std::pair{"Text1", "IMEI"},
                                      {"Combo1", "Device type"},
                                      {"Combo2", "Quantity"},
                                      {"Command1", "Validate"},
                                      {"Check6", "NTA"},
                                      {"Label16", "Verdict: VALID"},
                                      {"Label10", "Type Allocation Code: 10000002"},
                                      {"Label13", "Manufacturer: Maker 2"}})
    EXPECT_EQ(AccessibleName(window.findChild<QObject*>(control)), name) << control;
  for (QWidget* widget :
       window.centralWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    EXPECT_FALSE(AccessibleName(widget).isEmpty()) << widget->objectName().toStdString();
}

}  // namespace
}  // namespace vettrix
