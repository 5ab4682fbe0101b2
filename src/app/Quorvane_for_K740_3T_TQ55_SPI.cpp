// Program entry: the application, its title and the main window.
#include "app/Application.h"
#include "app/Fonts.h"
#include "app/TQ55_SPI_Main.h"

int main(int argc, char** argv) {
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
