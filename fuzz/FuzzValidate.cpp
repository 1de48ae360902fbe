// The normaliser, the verdict and the program's check of one IMEI on arbitrary bytes, against a
// headless window model with a real device database in a temporary folder.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "FuzzPlatform.h"
#include "app/Form1.h"
#include "commands/Handlers.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::fuzz {
namespace {

struct Window {
  FuzzPlatform platform{MakeTempFolder()};
  Form1 form{platform};
  Window() {
    WriteFileOrDie(platform.ProgramFolder() + "/mobidex.csv", kSmallDatabase);
    Form_Load(form);
    FUZZ_CHECK(!form.closed);
  }
};

Window& TheWindow() {
  static Window* window = new Window;  // lives for the process; files stay for inspection
  return *window;
}

// A valid IMEI: 15 ASCII digits, Luhn-valid, and not all zeros (whose sum is no check at all).
bool ExpectedVerdict(std::string_view s) {
  return s.size() == 15 && IsAsciiDigits(s) && LuhnValid(s) && s != "000000000000000";
}

void CheckOne(Form1& form, const std::string& input, bool aliased) {
  const std::string normalized = NormalizeIMEI(TrimSpaces(input));
  const bool verdict = IsValidIMEI(input);
  FUZZ_CHECK(verdict == ExpectedVerdict(normalized));

  form.ValidList.clear();  // keeps the list from growing over millions of runs
  bool valid;
  if (aliased) {
    form.Text1.text = input;
    valid = ValidateIMEI(form, form.Text1.text);
  } else {
    std::string imei = input;
    valid = ValidateIMEI(form, imei);
    FUZZ_CHECK(imei == form.Text1.text);
  }

  if (normalized.empty()) {
    // Nothing to check: a random valid IMEI stands in.
    FUZZ_CHECK(valid);
    FUZZ_CHECK(ExpectedVerdict(form.Text1.text));
  } else {
    FUZZ_CHECK(form.Text1.text == normalized);
    FUZZ_CHECK(valid == verdict);
  }
  if (valid) FUZZ_CHECK(ExpectedVerdict(form.Text1.text));
  FUZZ_CHECK(form.Label16.visible);
  FUZZ_CHECK(form.Label16.caption == (valid ? "VALID" : "INVALID"));
  if (valid) {
    FUZZ_CHECK(form.ValidList == form.Text1.text);
    const bool known = form.Devices.FindTAC(form.Text1.text) != 0;
    FUZZ_CHECK((form.Label13.caption == "Manufacturer: Not Found in Database!") != known);
  }
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix::fuzz;
  const std::string input = ExpandBigInput(data, size);
  vettrix::Form1& form = TheWindow().form;
  CheckOne(form, input, false);
  CheckOne(form, input, true);

  // The Validate button: the same verdict, and the box keeps the normalised text.
  form.Text1.text = input;
  Command1_Click(form);
  const std::string normalized = vettrix::NormalizeIMEI(vettrix::TrimSpaces(input));
  if (!normalized.empty()) {
    FUZZ_CHECK(form.Text1.text == normalized);
    FUZZ_CHECK(form.Label16.caption == (vettrix::IsValidIMEI(input) ? "VALID" : "INVALID"));
  }
  return 0;
}
