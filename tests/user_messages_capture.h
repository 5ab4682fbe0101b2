// The window's message and error boxes into lists instead of on screen, for
// as long as the capture lives; then back to what they were, so no later test
// calls into a capture that is gone.
#pragma once

#include <QStringList>
#include <functional>

#include "app/UserMessages.h"

class UserMessagesCapture {
public:
    UserMessagesCapture(QStringList& messages, QStringList& errors)
        : savedMessage_(TUserMessages::ShowMessage), savedError_(TUserMessages::ShowError) {
        TUserMessages::ShowMessage = [&messages](QWidget*, const QString& t) { messages << t; };
        TUserMessages::ShowError = [&errors](QWidget*, const QString& t) { errors << t; };
    }
    ~UserMessagesCapture() {
        TUserMessages::ShowMessage = savedMessage_;
        TUserMessages::ShowError = savedError_;
    }
    UserMessagesCapture(const UserMessagesCapture&) = delete;
    UserMessagesCapture& operator=(const UserMessagesCapture&) = delete;

private:
    std::function<void(QWidget*, const QString&)> savedMessage_, savedError_;
};
