// GoogleTest main with a QApplication on the offscreen platform, for tests
// that create widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>

#include "app/Fonts.h"

int main(int argc, char** argv) {
    // A desktop's screen: the offscreen platform's own (800 x 800) is smaller
    // than the window, which would then scroll.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!platform || std::strcmp(platform, "offscreen") == 0)
        setenv("QT_QPA_PLATFORM", "offscreen:configfile=" K740_OFFSCREEN_DESKTOP, 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    return RUN_ALL_TESTS();
}
