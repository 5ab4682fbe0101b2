#include "app/Application.h"

#include <exception>

#include "app/UserMessages.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        TUserMessages::ShowError(nullptr, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        TUserMessages::ShowError(nullptr, QStringLiteral("Unknown error"));
    }
    return false;
}
