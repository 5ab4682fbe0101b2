// The application object: no exception escapes the event loop; one that
// escapes an event handler is shown in the error box and the program goes on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
