// The entry of the window's test programs: an application object for widgets,
// offscreen unless the caller chose a platform (test discovery runs the program
// without the runner's environment).
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

namespace drvvzt::testing {

inline int RunQtTests(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace drvvzt::testing

#define DRVVZT_QT_TEST_MAIN \
  int main(int argc, char** argv) { return drvvzt::testing::RunQtTests(argc, argv); }
