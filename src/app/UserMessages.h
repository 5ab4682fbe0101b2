// How the window reports to the user; replaceable so tests see every box
// without a person clicking it.
#pragma once

#include <QString>
#include <functional>

class QWidget;

struct TUserMessages {
    // A modal message box with an OK button (runs a nested event loop).
    static std::function<void(QWidget*, const QString&)> ShowMessage;
    // The application's error box for a run-time error that escaped a handler.
    static std::function<void(QWidget*, const QString&)> ShowError;
};
