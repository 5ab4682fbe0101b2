// A window and a simulated box on a real pty, each test with its own. The
// handlers are called directly, the way their timers would call them.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "PtyBox.h"
#include "app/TQ55_SPI_Main.h"
#include "core/Enkoderji_splosno.h"
#include "module_globals.h"
#include "pty_fixture.h"
#include "user_messages_capture.h"

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<k740sim::PtyBox>(dir->Path(), 7);
        Box().SetSpeed(0);
        form = std::make_unique<TMainForm>();
        // Never the real documents folder of whoever runs the tests.
        form->DocumentsDir = [this] { return documents.filePath("Documents"); };
        form->LogEcho = [this](const QString& line) { echoed << line; };
    }
    void TearDown() override { form.reset(); }

    k740sim::K740Box& Box() { return pty->Box(); }

    // Which timers are armed, as "I", "E", "R" for the three states.
    std::string Armed() const {
        std::string s;
        if (form->tmrSearchInterface->Enabled()) s += 'I';
        if (form->tmrSearchEncoder->Enabled()) s += 'E';
        if (form->tmrReadEncoder->Enabled()) s += 'R';
        return s;
    }
    // The log as it will be within a frame: traffic lines wait for one.
    QStringList Log() const {
        form->FlushLog();
        return form->mmLog->toPlainText().split('\n', Qt::SkipEmptyParts);
    }

    // From start to the encoder search: the box found and set up.
    void FindBox() {
        form->tmrSearchInterfaceTimer();
        ASSERT_EQ(Armed(), "E") << "box not found";
    }
    // ... and on to the reading loop.
    void FindEncoder() {
        FindBox();
        form->tmrSearchEncoderTimer();
        ASSERT_EQ(Armed(), "R") << "encoder not found";
    }

    ModuleGlobalsGuard globals;
    QStringList messages, errors;
    UserMessagesCapture boxes{messages, errors};
    QStringList echoed;  // what the log also wrote to standard error
    QTemporaryDir documents;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<k740sim::PtyBox> pty;
    std::unique_ptr<TMainForm> form;
};
