// Program entry: the application, its title and the main window.
#include "app/Application.h"
#include "app/Fonts.h"
#include "app/TQ55_SPI_Main.h"
#include "platform/Display.h"

int main(int argc, char** argv) {
    // The window is designed in pixels at 96 dpi, fonts included: a text
    // scale must not grow it off the screen. Where the screen resolution is
    // the text scale, Qt neither scales the window from it (unless the user
    // says otherwise) nor sizes the style's check marks and arrows by it; a
    // device pixel ratio (QT_SCALE_FACTOR, a compositor's scale) still scales
    // the whole window.
    if (platform::ScreenDpiIsTextScale()) {
        if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING"))
            qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
        QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    }
    // The command line is ignored; Qt's own options still apply.
    TApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(
        QStringLiteral("Quorvane for TQ55 SPI encoders with K740-3T"));
    // Ties the window to the installed desktop entry, whose icon the task bar
    // then shows (Wayland needs this; X11 takes the window's own icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvane-k740-tq55-spi"));
    InstallFontSubstitutes();
    TMainForm form;
    form.show();
    return app.exec();
}
