#pragma once

// The main window as plain data: every control with its design-time layout and its current
// content, the menus, and the window-level state that all procedures share. The Qt view mirrors
// this model; the procedures only ever read and write it.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/Caption.h"
#include "app/DeviceTable.h"
#include "app/Random.h"
#include "seam/Platform.h"

namespace vettrix {

// Position and size in twips (15 twips are one logical pixel).
struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Color {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  friend bool operator==(const Color&, const Color&) = default;
};

inline constexpr Color kRed{255, 0, 0};
inline constexpr Color kGreen{0, 175, 0};
inline constexpr Color kBlack{0, 0, 0};
inline constexpr Color kBlue{0, 0, 255};
inline constexpr Color kGrey{128, 128, 128};

// An empty face means the toolkit's default dialog font.
struct Font {
  std::string_view face;
  double points = 8.25;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool heavy = false;
};

struct Label {
  Rect rect;
  Font font;
  Caption caption;
  bool visible = true;
  bool hasForeColor = false;  // false: the default text colour
  Color foreColor;
  bool link = false;  // reacts to a click
};

struct TextBox {
  Rect rect;
  Font font;
  std::string text;
};

struct ComboBox {
  Rect rect;
  Font font;
  std::vector<std::string> list;
  std::string text;
  int listIndex = -1;  // -1 while no entry is selected
  bool visible = true;
  int listRevision = 0;  // raised whenever `list` changes, so the view knows to reload it

  // Inserts `entry` at `position` (moving later entries down), or appends when position < 0.
  void AddItem(std::string entry, int position = -1);
  // Selects entry `index` (its text becomes the combo box's text), or none for -1.
  void Select(int index);
};

struct CommandButton {
  Rect rect;
  Font font;
  std::string caption;
};

struct CheckBox {
  Rect rect;
  Font font;
  std::string caption;
  int value = 0;  // 0 unchecked, 1 checked
};

struct HtmlView {
  Rect rect;
  std::string url;
};

// Slots 1 to 16 of the check-digit work tables, one character (a code point) each; slot 0 is
// never written. 0 marks an empty slot.
using WorkTable = std::array<char32_t, 17>;

class Form1 {
 public:
  explicit Form1(Platform& platform);
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  Platform& platform;

  // The window itself.
  std::string caption;
  static constexpr int kClientWidth = 10020;  // twips
  static constexpr int kClientHeight = 3705;

  TextBox Text1;
  ComboBox Combo1, Combo2;
  CommandButton Command1, Command2;
  CheckBox Check1, Check2, Check3, Check4, Check5, Check6, Check7, Check8;
  Label Label1, Label2, Label3, Label4, Label5, Label6, Label7, Label8, Label9, Label10;
  Label Label11, Label12, Label13, Label14, Label15, Label16, Label17, Label18, Label19, Label20;
  Label Label21, Label22, Label23, Label24, Label25, Label26, Label27, Label28, Label29;
  HtmlView Scriptlet1;

  // Window state shared by all procedures.
  std::string ProgramVersionText;
  std::string ProgramVersionNumber;
  std::int64_t ValidCount = 0;
  std::int64_t FoundCount = 0;
  std::int64_t GeneratedCount = 0;
  std::string CurrentIMEI;
  bool TACFound = false;
  DeviceTable Devices{platform};  // DeviceTable and DeviceLineCount
  std::string databasePath;       // the mobidex.csv loaded at start-up, set by LoadMobidex
  std::string DatabaseVersionText;
  std::string DatabaseVersionNumber;
  WorkTable DigitTable{};
  WorkTable CheckTable{};
  std::string ValidList;
  std::string FoundIMEI;
  std::int64_t StartTick = 0;
  std::int64_t LastTick = 0;
  std::int64_t EndTick = 0;
  std::string ReportText;
  std::string OnlineProgramVersion;

  Random Rnd;  // the program's one random source

  // Run state of the window and of the Generate command.
  bool closed = false;                  // the window has been closed; nothing more is shown
  bool generating = false;              // a Generate run is in progress
  bool stopRequested = false;           // the user asked the running Generate to stop
  bool serviceSettingReported = false;  // a bad service address setting was told once

  // Named access for code that walks all controls (the view, tests). Index 0 is unused.
  static constexpr int kLabelCount = 29;
  static constexpr int kCheckCount = 8;
  Label& LabelAt(int n);
  const Label& LabelAt(int n) const;
  CheckBox& CheckAt(int n);
  const CheckBox& CheckAt(int n) const;
};

// Menus, in menu-bar order. An item with an empty parent is a top-level command.
struct MenuEntry {
  std::string_view name;
  std::string_view caption;
  std::string_view parent;
};
extern const std::array<MenuEntry, 7> kMenus;

// Focus order of the controls that take focus.
extern const std::array<std::string_view, 14> kFocusOrder;

}  // namespace vettrix
