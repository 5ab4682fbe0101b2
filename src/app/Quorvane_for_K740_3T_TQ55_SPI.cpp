// Program entry: the application, its title and the main window.
#include "app/Application.h"
#include "app/Fonts.h"
#include "app/TQ55_SPI_Main.h"

int main(int argc, char** argv) {
    // The command line is ignored; Qt's own options still apply.
    TApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(
        QStringLiteral("Quorvane for TQ55 SPI encoders with K740-3T"));
    InstallFontSubstitutes();
    TMainForm form;
    form.show();
    return app.exec();
}
