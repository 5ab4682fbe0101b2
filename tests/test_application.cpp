// The application object: an exception that escapes an event handler is
// shown in the error box and the event loop goes on.
#include <gtest/gtest.h>

#include <QTimer>
#include <cstdlib>
#include <stdexcept>

#include "app/Application.h"
#include "user_messages_capture.h"

namespace {

class Thrower : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("I/O error 103");
        return QObject::event(e);
    }
};

TEST(Application, EscapingErrorIsShownAndTheLoopGoesOn) {
    QStringList messages, errors;
    const UserMessagesCapture capture(messages, errors);
    Thrower thrower;
    bool later = false;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTimer::singleShot(0, [&] { later = true; });
    QTimer::singleShot(50, [] { QCoreApplication::quit(); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(errors, QStringList{"I/O error 103"});
    EXPECT_TRUE(later) << "the event loop stopped after the error";
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
