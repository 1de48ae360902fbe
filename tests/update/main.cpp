#include <gtest/gtest.h>

#include <QCoreApplication>

// The downloads need an application object but no running event loop, as at the program's start.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
