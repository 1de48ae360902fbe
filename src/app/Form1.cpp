#include "app/Form1.h"

#include <cassert>

#include "app/Branding.h"

namespace vettrix {
namespace {

constexpr Font kNarrow{"Arial Narrow", 8.25};
constexpr Font kNarrowBold{"Arial Narrow", 8.25, true};
constexpr Font kArialBold{"Arial", 8.25, true};
constexpr Font kLinkFont{"Arial", 8.25, true, false, true};

Label MakeLabel(Rect rect, Font font, std::string_view caption, bool visible = true) {
  Label label;
  label.rect = rect;
  label.font = font;
  label.caption = caption;
  label.visible = visible;
  return label;
}

Label MakeLink(Rect rect, Font font, std::string_view caption, Color color, bool visible = true) {
  Label label = MakeLabel(rect, font, caption, visible);
  label.link = true;
  label.hasForeColor = true;
  label.foreColor = color;
  return label;
}

CheckBox MakeCheck(Rect rect, std::string_view caption) {
  return CheckBox{rect, Font{"Arial Narrow", 8.25}, std::string(caption), 0};
}

}  // namespace

const std::array<MenuEntry, 7> kMenus = {{
    {"File", "File", ""},
    {"Exit", "Exit", "File"},
    {"About", "About", ""},
    {"ChkUpdate", "Update", ""},
    {"ProgramUpdate", "Vettrix Update", "ChkUpdate"},
    {"DBUpdate", "Mobidex Update", "ChkUpdate"},
    {"DBInstall", "Install Mobidex Update", "ChkUpdate"},
}};

const std::array<std::string_view, 14> kFocusOrder = {
    "Text1",  "Command1", "Command2", "Check1", "Check2", "Check3",     "Check4",
    "Check5", "Check6",   "Check7",   "Check8", "Combo1", "Scriptlet1", "Combo2"};

void ComboBox::AddItem(std::string entry, int position) {
  if (position < 0 || position >= static_cast<int>(list.size())) {
    list.push_back(std::move(entry));
  } else {
    list.insert(list.begin() + position, std::move(entry));
    if (listIndex >= position) ++listIndex;
  }
  ++listRevision;
}

void ComboBox::Select(int index) {
  if (index < 0 || index >= static_cast<int>(list.size())) {
    listIndex = -1;
    return;
  }
  listIndex = index;
  text = list[static_cast<std::size_t>(index)];
}

Form1::Form1(Platform& platformRef) : platform(platformRef) {
  Text1 = TextBox{{6720, 120, 3135, 405}, Font{"Verdana", 11.25, true}, ""};
  Combo1.rect = {120, 120, 5775, 330};
  Combo1.font = Font{"Arial", 8.25, true};
  Combo2.rect = {6000, 120, 650, 315};
  Combo2.font = Font{};
  Command1 = CommandButton{{3660, 600, 855, 315}, kNarrowBold, "Validate"};
  Command2 = CommandButton{{4620, 600, 855, 315}, kNarrowBold, "Generate"};

  Check6 = MakeCheck({5880, 600, 735, 195}, "NTA");
  Check3 = MakeCheck({6720, 600, 855, 195}, "Iridium");
  Check8 = MakeCheck({7560, 600, 855, 195}, "PTCRB");
  Check5 = MakeCheck({8400, 600, 1335, 195}, "BZT/Cetecom");
  Check1 = MakeCheck({5880, 840, 855, 195}, "TAF");
  Check2 = MakeCheck({6720, 840, 855, 195}, "MSAI");
  Check7 = MakeCheck({7560, 840, 855, 195}, "DGPT");
  Check4 = MakeCheck({8400, 840, 1215, 195}, "BABT/BAPT");

  Label1 = MakeLabel({7320, 2520, 1545, 225}, kNarrow, "Check: 00000000000000");
  Label2 = MakeLabel({7320, 2760, 690, 225}, kNarrow, "CheckSum");
  Label3 = MakeLabel({9360, 2520, 345, 225}, kNarrow, "Luhn:");
  Label4 = MakeLabel({120, 1560, 1335, 225}, kNarrow, "Full IMEI Presentation");
  Label5 = MakeLabel({120, 1800, 1500, 225}, kNarrow, "Reporting Body Identifier");
  Label6 = MakeLabel({120, 2040, 1335, 225}, kNarrow, "Type Allocation Code");
  Label7 = MakeLabel({120, 2280, 885, 225}, kNarrow, "Serial Number");
  Label8 = MakeLabel({2040, 1560, 75, 225}, kNarrow, "0");
  Label9 = MakeLabel({2040, 1800, 150, 225}, kNarrow, "00");
  Label10 = MakeLabel({2040, 2040, 450, 225}, kNarrow, "000000");
  Label10.link = true;
  Label11 = MakeLabel({2040, 2280, 375, 225}, kNarrow, "00000");
  Label12 = MakeLabel({7320, 3000, 630, 225}, kNarrow, "Generated", false);
  Label13 = MakeLabel({5040, 2040, 1155, 210}, kArialBold, "Manufacturer:", false);
  Label13.link = true;
  Label14 = MakeLabel({5040, 2280, 555, 210}, kArialBold, "Model:", false);
  Label14.link = true;
  Label15 = MakeLabel({120, 3480, 3465, 225}, Font{"Arial Narrow", 8.25, true, true}, kTagline);
  Label16 = MakeLabel({5640, 1560, 645, 210}, kArialBold, "INVALID", false);
  Label16.hasForeColor = true;
  Label16.foreColor = kRed;
  Label17 = MakeLabel({5040, 1560, 570, 210}, kArialBold, "Result:", false);
  Label17.hasForeColor = true;
  Label17.foreColor = kBlack;
  Label18 = MakeLink({960, 480, 1485, 210}, kLinkFont, kMakerSiteName, kBlue);
  Label19 = MakeLabel({7320, 3240, 300, 225}, kNarrow, "Valid: 0");
  Label20 = MakeLabel({120, 960, 1920, 225}, kNarrow, "Database Version:   ");
  Label21 = MakeLink({960, 720, 1260, 210}, kLinkFont, kServiceSiteName, kBlue);
  Label22 = MakeLabel({120, 480, 390, 225}, kNarrow, "Author");
  Label23 = MakeLabel({120, 720, 570, 225}, kNarrow, "Database");
  Label24 = MakeLabel({6720, 1080, 2235, 255}, Font{"Arial Black", 9, false, false, false, true},
                      "Copy IMEI to Clipboard");
  Label24.link = true;
  Label25 = MakeLabel({120, 1200, 1635, 225}, kNarrow, "Devices Supported: ");
  Label26 = MakeLink({2520, 720, 540, 210}, kLinkFont, "GitHub", kBlue);
  Label27 = MakeLink({7320, 2040, 2010, 210}, kLinkFont, "Check AppleCare Status", kGrey, false);
  Label28 = MakeLabel({8520, 3240, 390, 225}, kNarrow, "Found: 0");
  Label29 = MakeLabel({8520, 3000, 630, 225}, kNarrow, "IMEI/sec: 0");

  Scriptlet1 = HtmlView{{120, 2520, 7140, 900}, std::string(kBannerUrl)};
}

Label& Form1::LabelAt(int n) {
  assert(n >= 1 && n <= kLabelCount);
  static constexpr Label Form1::*kLabels[] = {
      nullptr,         &Form1::Label1,  &Form1::Label2,  &Form1::Label3,  &Form1::Label4,
      &Form1::Label5,  &Form1::Label6,  &Form1::Label7,  &Form1::Label8,  &Form1::Label9,
      &Form1::Label10, &Form1::Label11, &Form1::Label12, &Form1::Label13, &Form1::Label14,
      &Form1::Label15, &Form1::Label16, &Form1::Label17, &Form1::Label18, &Form1::Label19,
      &Form1::Label20, &Form1::Label21, &Form1::Label22, &Form1::Label23, &Form1::Label24,
      &Form1::Label25, &Form1::Label26, &Form1::Label27, &Form1::Label28, &Form1::Label29};
  return this->*kLabels[n];
}

const Label& Form1::LabelAt(int n) const {
  return const_cast<Form1*>(this)->LabelAt(n);
}

CheckBox& Form1::CheckAt(int n) {
  assert(n >= 1 && n <= kCheckCount);
  static constexpr CheckBox Form1::*kChecks[] = {nullptr,        &Form1::Check1, &Form1::Check2,
                                                 &Form1::Check3, &Form1::Check4, &Form1::Check5,
                                                 &Form1::Check6, &Form1::Check7, &Form1::Check8};
  return this->*kChecks[n];
}

const CheckBox& Form1::CheckAt(int n) const {
  return const_cast<Form1*>(this)->CheckAt(n);
}

}  // namespace vettrix
