#include "gui/Accessibility.h"

#include <QWidget>

namespace vettrix {
namespace {

// The base name of a value label, kept on the widget for ShowAccessibleValue.
constexpr const char* kValueName = "vettrixAccessibleValueName";

struct Description {
  const char* control;
  const char* name;  // null: the control's own text names it
  const char* description;
  bool value = false;  // the name is followed by the text shown
};

constexpr Description kDescriptions[] = {
    {"Text1", "IMEI", "The IMEI to check; for Custom, its first 8 digits are the TAC to use"},
    {"Combo1", "Device type", "The device or reporting body to generate IMEIs for"},
    {"Combo2", "Quantity", "How many valid IMEIs to generate"},
    {"Command1", nullptr, "Checks the IMEI"},
    {"Command2", nullptr, "Generates valid IMEIs for the device type into a report, or stops"},
    {"Check1", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check2", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check3", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check4", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check5", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check6", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check7", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Check8", nullptr, "Generate IMEIs with TACs of this reporting body"},
    {"Label8", "Full IMEI Presentation", nullptr, true},
    {"Label9", "Reporting Body Identifier", nullptr, true},
    {"Label10", "Type Allocation Code", "Click to copy the TAC", true},
    {"Label11", "Serial Number", nullptr, true},
    {"Label13", nullptr, "When not found, click to submit the device"},
    {"Label14", nullptr, "When not found, click to submit the device"},
    {"Label16", "Verdict", "Whether the IMEI is valid", true},
    {"Label18", nullptr, "Opens the maker's web site"},
    {"Label21", nullptr, "Opens the database's web site"},
    {"Label24", nullptr, "Copies the IMEI to the clipboard"},
    {"Label26", nullptr, "Opens the program's source page"},
    {"Label27", nullptr, "Opens Apple's coverage check for this IMEI"},
    {"Scriptlet1", "Banner", "Advertisement"},
};

}  // namespace

void DescribeControls(QWidget& window) {
  for (const Description& entry : kDescriptions) {
    auto* widget = window.findChild<QWidget*>(QString::fromLatin1(entry.control));
    if (widget == nullptr) continue;
    if (entry.name != nullptr) widget->setAccessibleName(QString::fromUtf8(entry.name));
    if (entry.value) widget->setProperty(kValueName, QString::fromUtf8(entry.name));
    if (entry.description != nullptr)
      widget->setAccessibleDescription(QString::fromUtf8(entry.description));
  }
}

void ShowAccessibleValue(QWidget& label, const QString& shown) {
  const QString name = label.property(kValueName).toString();
  if (!name.isEmpty()) label.setAccessibleName(name + QStringLiteral(": ") + shown);
}

}  // namespace vettrix
