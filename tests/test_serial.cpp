// The serial transaction and the port layer under it, against a real pty
// whose other side the test plays byte by byte.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "core/Serial_driver.h"
#include "module_globals.h"
#include "platform/SerialPort.h"
#include "pty_fixture.h"

namespace {

class Transaction : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<RawPty>(dir->Path(), 3);
        port = platform::OpenPort(3);
        ASSERT_NE(port, platform::InvalidHandle) << platform::LastError();
    }
    void TearDown() override { platform::ClosePort(port); }
    ModuleGlobalsGuard globals;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<RawPty> pty;
    platform::PortHandle port = platform::InvalidHandle;
};

TEST_F(Transaction, LongBurstIsReadWholeAndCompletesOnLength) {
    pty->Send("K740-3T, V2.05 SPI\r\n");  // 20 bytes queued at once
    QByteArray reply;
    EXPECT_EQ(SendCommand(port, "v", 7, reply), TR_OK);
    EXPECT_EQ(reply, "K740-3T, V2.05 SPI\r\n");
    EXPECT_EQ(pty->Receive(1), "v");
}

TEST_F(Transaction, LengthReachedInTwoParts) {
    std::thread box([this] {
        pty->Receive(1);
        pty->Send("K740");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty->Send("-3T");
    });
    QByteArray reply;
    EXPECT_EQ(SendCommand(port, "v", 7, reply), TR_OK);
    box.join();
    EXPECT_EQ(reply, "K740-3T");
}

TEST_F(Transaction, CarriageReturnCompletesAndIsNotTranslated) {
    // A cooked tty would turn the CR into LF and the reply would never complete.
    pty->Send("OK\r");
    QByteArray reply;
    EXPECT_EQ(SendCommand(port, "n", 0, reply), TR_OK);
    EXPECT_EQ(reply, "OK\r");
}

TEST_F(Transaction, TimeOutKeepsWhatArrived) {
    ReplyTimeoutMs = 150;  // the rules are the same at 400 ms, only slower
    struct Case {
        const char* name;
        std::string sent;
        std::uint32_t expected;
    };
    for (const Case& c : {Case{"partial_without_cr", "ABC", 0}, Case{"nothing_at_all", "", 0},
                          Case{"six_of_seven", "K740-3", 7}}) {
        if (!c.sent.empty()) pty->Send(c.sent);
        QByteArray reply = "old";
        EXPECT_EQ(SendCommand(port, "x", c.expected, reply), TR_TIMEOUT) << c.name;
        EXPECT_EQ(reply, QByteArray::fromStdString(c.sent)) << c.name;
        pty->Receive(1);
    }
}

TEST_F(Transaction, LateBytesStartTheNextReply) {
    ReplyTimeoutMs = 150;
    QByteArray reply;
    EXPECT_EQ(SendCommand(port, "e", 0, reply), TR_TIMEOUT);
    pty->Send("5V ON\r\n");  // the answer to "e", too late
    pty->Receive(1);
    EXPECT_EQ(SendCommand(port, "n", 0, reply), TR_OK);
    EXPECT_TRUE(reply.startsWith("5V ON\r")) << reply.constData();
}

TEST_F(Transaction, TailAfterCompletionStaysQueued) {
    pty->Send("OK\r");
    QByteArray reply;
    EXPECT_EQ(SendCommand(port, "n", 0, reply), TR_OK);
    EXPECT_EQ(reply, "OK\r");
    // The line feed comes after the reply was complete: it opens the next one.
    pty->Send("\nOFF\r");
    EXPECT_EQ(SendCommand(port, "f", 0, reply), TR_OK);
    EXPECT_EQ(reply, "\nOFF\r");
}

TEST_F(Transaction, NoPortWritesNothingAndKeepsReply) {
    TrafficLogEnabled = true;
    QByteArray reply = "previous";
    EXPECT_EQ(SendCommand(platform::InvalidHandle, "v", 7, reply), TR_NOPORT);
    EXPECT_EQ(reply, "previous");
    EXPECT_TRUE(TrafficLog.isEmpty());
    EXPECT_EQ(pty->Receive(1, 50), "");
}

TEST_F(Transaction, WriteFailsWithSystemErrorOnceTheOtherSideIsGone) {
    pty->CloseMaster();
    // The hang-up is reported at once, not waited out.
    EXPECT_EQ(platform::WaitReadable(port, 5000), platform::WaitResult::Hangup);
    TrafficLogEnabled = true;
    QByteArray reply = "previous";
    const std::int32_t r = SendCommand(port, "?06:006", 0, reply);
    EXPECT_EQ(r, -EIO);
    EXPECT_EQ(reply, "previous");
    EXPECT_TRUE(TrafficLog.isEmpty());
}

TEST_F(Transaction, TrafficLogHasOneLineEachWay) {
    TrafficLogEnabled = true;
    pty->Send("ON\r\n");
    QByteArray reply;
    EXPECT_EQ(SendCommand(port, "n", 0, reply), TR_OK);
    EXPECT_TRUE(TrafficLog.startsWith("TX:n\r\nRX:ON\r")) << TrafficLog.toStdString();
    EXPECT_TRUE(TrafficLog.endsWith("\r\n"));
}

TEST_F(Transaction, EmptyCommandStillWaitsForAReply) {
    pty->Send("X\r");
    QByteArray reply;
    EXPECT_EQ(SendReceive(port, "", 0, 0, reply), TR_OK);
    EXPECT_EQ(reply, "X\r");
    EXPECT_EQ(pty->Receive(1, 50), "");
}

TEST_F(Transaction, ByteDelaySendsEveryByteInOrder) {
    pty->Send("OK\r");
    QByteArray reply;
    EXPECT_EQ(SendReceive(port, "G0:1", 3, 0, reply), TR_OK);
    EXPECT_EQ(pty->Receive(4), "G0:1");
}

TEST_F(Transaction, BusyPollGivesTheSameResults) {
    ReplyTimeoutMs = 150;
    ReplyWaitMode = ReplyWait::BusyPoll;
    QByteArray reply;
    pty->Send("ON\r");
    EXPECT_EQ(SendCommand(port, "n", 0, reply), TR_OK);
    EXPECT_EQ(SendCommand(port, "n", 0, reply), TR_TIMEOUT);
}

TEST(Port, OpenIsExclusiveAcrossProcesses) {
    SerialCommDir dir;
    RawPty pty(dir.Path(), 4);
    const platform::PortHandle first = platform::OpenPort(4);
    ASSERT_NE(first, platform::InvalidHandle);
    EXPECT_EQ(platform::OpenPort(4), platform::InvalidHandle);  // this process
    const pid_t child = fork();
    if (child == 0) _exit(platform::OpenPort(4) == platform::InvalidHandle ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it too";
    platform::ClosePort(first);
    const platform::PortHandle again = platform::OpenPort(4);
    EXPECT_NE(again, platform::InvalidHandle);
    platform::ClosePort(again);
}

TEST(Port, LineSettingsRoundTrip) {
    SerialCommDir dir;
    RawPty pty(dir.Path(), 5);
    const platform::PortHandle p = platform::OpenPort(5);
    ASSERT_NE(p, platform::InvalidHandle);
    platform::LineSettings saved, work, now;
    ASSERT_TRUE(platform::GetLineSettings(p, saved));
    work = saved;
    // A pty keeps the speed and the stop bits; it forces 8 bits, no parity.
    work.BaudRate = 115200;
    work.StopBits = platform::StopBits::Two;
    ASSERT_TRUE(platform::SetLineSettings(p, work));
    ASSERT_TRUE(platform::GetLineSettings(p, now));
    EXPECT_EQ(now.BaudRate, 115200u);
    EXPECT_EQ(now.StopBits, platform::StopBits::Two);
    ASSERT_TRUE(platform::SetLineSettings(p, saved));
    ASSERT_TRUE(platform::GetLineSettings(p, now));
    EXPECT_EQ(now.BaudRate, saved.BaudRate);
    EXPECT_EQ(now.StopBits, saved.StopBits);
    work.ByteSize = 9;
    EXPECT_FALSE(platform::SetLineSettings(p, work));
    EXPECT_EQ(platform::LastError(), EINVAL);
    platform::ClosePort(p);
}

TEST(Port, MissingOrNonTtyPortIsRefused) {
    SerialCommDir dir;
    EXPECT_EQ(platform::OpenPort(9), platform::InvalidHandle);
    std::filesystem::create_symlink("/dev/null", dir.Path() + "/COM9");
    EXPECT_EQ(platform::OpenPort(9), platform::InvalidHandle);
}

TEST(Port, ManyOpensLeakNoDescriptor) {
    SerialCommDir dir;
    RawPty pty(dir.Path(), 6);
    const int before = OpenFdCount();
    for (int i = 0; i < 300; ++i) {
        const platform::PortHandle p = platform::OpenPort(6);
        ASSERT_NE(p, platform::InvalidHandle);
        platform::ClosePort(p);
    }
    EXPECT_EQ(OpenFdCount(), before);
}

}  // namespace
