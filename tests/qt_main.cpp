// GoogleTest main with a QApplication on the offscreen platform, for tests
// that create widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "app/Fonts.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    return RUN_ALL_TESTS();
}
