#pragma once

// A started program on the fake platform: a temporary program folder holding `mobidex.csv`,
// and the window model after Form_Load.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/Form1.h"
#include "commands/Handlers.h"
#include "core/FakePlatform.h"

namespace vettrix::test {

class AppTest : public ::testing::Test {
 protected:
  // Writes `database` (unless null) as mobidex.csv and runs Form_Load.
  void Start(const char* database) {
    platform.folder = folder.str();
    if (database != nullptr) folder.Write("mobidex.csv", database);
    form = std::make_unique<Form1>(platform);
    Form_Load(*form);
  }
  void Start(const std::string& database) { Start(database.c_str()); }

  // Types `text` into Text1 and clicks Validate.
  void Validate(const std::string& text) {
    form->Text1.text = text;
    Command1_Click(*form);
  }

  FakePlatform platform;
  TempFolder folder;
  std::unique_ptr<Form1> form;
};

}  // namespace vettrix::test
