// main() for tests that need a QApplication: headless (offscreen) unless KAVLET_TEST_PLATFORM
// names another Qt platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "app/QtTranslation.h"

int main(int argc, char** argv) {
    // KAVLET_TEST_PLATFORM=xcb runs the same tests on a real X server (DISPLAY).
    const char* platform = std::getenv("KAVLET_TEST_PLATFORM");
    setenv("QT_QPA_PLATFORM", platform && *platform ? platform : "offscreen", 1);
    QApplication application(argc, argv);
    InstallQtChineseTranslation();  // as the tool does
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
