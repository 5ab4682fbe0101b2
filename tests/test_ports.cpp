// Finding the box: the device map, the pure listing step, and the probing of
// real ptys with simulated boxes and things that are not boxes.
#include <gtest/gtest.h>

#include <QApplication>
#include <fstream>

#include "PtyBox.h"
#include "app/TQ55_SPI_Main.h"
#include "core/PortList.h"
#include "platform/DeviceMap.h"
#include "platform/SerialPort.h"
#include "pty_fixture.h"

namespace {

using Entries = std::vector<platform::DeviceMapEntry>;

TEST(PortListing, Table) {
    struct Case {
        const char* name;
        Entries map;
        QStringList comPorts;
        std::vector<int> order;
    };
    const Case cases[] = {
        {"usbser_value_gives_padded_candidate", {{"\\Device\\USBSER000", "COM7"}}, {"007"}, {7}},
        {"name_without_usbser_ignored", {{"\\Device\\Serial0", "COM1"}}, {}, {}},
        {"lower_case_usbser_ignored", {{"\\Device\\usbser000", "COM2"}}, {}, {}},
        {"data_not_com_ignored",
         {{"\\Device\\USBSER000", "com5"}, {"\\Device\\USBSER001", "XCOM5"}},
         {},
         {}},
        {"bare_com_is_port_one", {{"\\Device\\USBSER000", "COM"}}, {"001"}, {1}},
        {"duplicate_dropped",
         {{"\\Device\\USBSER000", "COM5"}, {"\\Device\\USBSER001", "COM5"}},
         {"005"},
         {5}},
        {"numeric_order",
         {{"USBSER_a", "COM12"}, {"USBSER_b", "COM3"}, {"USBSER_c", "COM7"}},
         {"003", "007", "012"},
         {3, 7, 12}},
        {"four_digits_sort_as_text",
         {{"USBSER_a", "COM7"}, {"USBSER_b", "COM101"}, {"USBSER_c", "COM1000"}},
         {"007", "1000", "101"},
         {7, 1000, 101}},
        {"usbser_anywhere_in_name", {{"x_USBSER_y", "COM4"}}, {"004"}, {4}},
    };
    for (const auto& c : cases) {
        TSortedStringList list;
        list.Add("999");  // the listing starts from an empty list
        ListComPorts(c.map, list);
        EXPECT_EQ(list.Items(), c.comPorts) << c.name;
        EXPECT_EQ(PortNumbers(list), c.order) << c.name;
    }
}

TEST(DeviceMap, SimulatedPortsComeFromTheDirectory) {
    SerialCommDir dir;
    RawPty com3(dir.Path(), 3);
    RawPty com12(dir.Path(), 12);
    std::ofstream(dir.Path() + "/plainfile") << "x";
    std::filesystem::create_symlink(dir.Path() + "/plainfile", dir.Path() + "/COM5");  // no tty
    std::filesystem::create_symlink(com3.SlavePath(), dir.Path() + "/com8");           // wrong case
    std::filesystem::create_symlink(com3.SlavePath(), dir.Path() + "/COMx");           // no number
    TSortedStringList list;
    ListComPorts(platform::ReadSerialDeviceMap(), list);
    EXPECT_EQ(list.Items(), (QStringList{"003", "012"}));
    EXPECT_EQ(platform::DevicePathForPort(3), dir.Path() + "/COM3");
}

TEST(DeviceMap, WithoutTheVariableNoDirectoryIsRead) {
    std::string path;
    {
        SerialCommDir dir;
        path = dir.Path();
    }  // unsets the variable
    for (const auto& e : platform::ReadSerialDeviceMap())
        EXPECT_EQ(e.DeviceName.find("_DIR_"), std::string::npos) << e.PortName;
}

// The scan of the window's session, which leaves the port in the window's
// K740_H: true and the port number when a box answered.
bool Scan(TMainForm& form, int& port) {
    const std::optional<int> found = form.Session->ScanPorts();
    if (found) port = *found;
    return found.has_value();
}

// Probing runs inside the window; each case gets its own directory, boxes and
// window.
class Probe : public ::testing::Test {
protected:
    void SetUp() override { dir = std::make_unique<SerialCommDir>(); }
    k740sim::K740Box& AddBox(int port) {
        boxes.push_back(std::make_unique<k740sim::PtyBox>(dir->Path(), port));
        return boxes.back()->Box();
    }
    std::unique_ptr<TMainForm> Form() {
        auto f = std::make_unique<TMainForm>();
        f->tmrSearchInterface->SetEnabled(false);
        return f;
    }
    std::unique_ptr<SerialCommDir> dir;
    std::vector<std::unique_ptr<k740sim::PtyBox>> boxes;
};

TEST_F(Probe, FirstBoxIsKeptOpenAndNoFurtherPortIsOpened) {
    k740sim::K740Box& first = AddBox(3);
    k740sim::K740Box& second = AddBox(7);
    auto form = Form();
    int port = 0;
    ASSERT_TRUE(Scan(*form, port));
    EXPECT_EQ(port, 3);
    EXPECT_NE(form->K740_H, platform::InvalidHandle);
    EXPECT_TRUE(form->K740identifikacija.startsWith("K740-3T"));
    EXPECT_TRUE(form->mmLog->toPlainText().endsWith("Interface found on COM3"));
    EXPECT_EQ(first.Commands(), (std::vector<std::string>{"v"}));
    EXPECT_TRUE(second.Commands().empty());
    // It stays open: nobody else can have it.
    EXPECT_EQ(platform::OpenPort(3), platform::InvalidHandle);
}

TEST_F(Probe, PortsAreTriedInNumericOrder) {
    k740sim::K740Box& twelve = AddBox(12);
    twelve.SetRawReply("v", "not a box at all\r\n");
    k740sim::K740Box& three = AddBox(3);
    three.SetRawReply("v", "not a box at all\r\n");
    k740sim::K740Box& seven = AddBox(7);
    auto form = Form();
    int port = 0;
    ASSERT_TRUE(Scan(*form, port));
    EXPECT_EQ(port, 7);
    EXPECT_EQ(three.Commands(), (std::vector<std::string>{"v"}));
    EXPECT_EQ(seven.Commands(), (std::vector<std::string>{"v"}));
    EXPECT_TRUE(twelve.Commands().empty()) << "12 was tried before 7";
    EXPECT_EQ(form->COMPorts.Items(), (QStringList{"003", "007", "012"}));
}

TEST_F(Probe, RefusedReplies) {
    struct Case {
        const char* name;
        std::string reply;  // exact bytes
    };
    const Case cases[] = {
        {"lower_case_model", "k740-3t, V2.05\r\n"},
        {"prefixed_model", "XK740-3T\r\n"},
        {"six_characters_then_nothing", "K740-3"},
        {"garbage", std::string("\xff\x00\x13K7", 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialCommDir caseDir;
        k740sim::PtyBox nonBox(caseDir.Path(), 2);
        nonBox.Box().SetRawReply("v", c.reply);
        k740sim::PtyBox box(caseDir.Path(), 9);
        auto form = Form();
        int port = 0;
        ASSERT_TRUE(Scan(*form, port));
        EXPECT_EQ(port, 9);
        EXPECT_EQ(nonBox.Box().Commands(), (std::vector<std::string>{"v"}));
        // The refused port was closed again.
        const platform::PortHandle h = platform::OpenPort(2);
        EXPECT_NE(h, platform::InvalidHandle);
        platform::ClosePort(h);
    }
}

TEST_F(Probe, ModelTextFollowedByMoreIsAccepted) {
    AddBox(4).SetIdentification("K740-3T and then some");
    auto form = Form();
    int port = 0;
    EXPECT_TRUE(Scan(*form, port));
    EXPECT_EQ(port, 4);
}

TEST_F(Probe, PortHeldByAnotherIsSkipped) {
    k740sim::K740Box& held = AddBox(3);
    AddBox(5);
    const platform::PortHandle holder = platform::OpenPort(3);
    ASSERT_NE(holder, platform::InvalidHandle);
    auto form = Form();
    int port = 0;
    EXPECT_TRUE(Scan(*form, port));
    EXPECT_EQ(port, 5);
    EXPECT_TRUE(held.Commands().empty());
    platform::ClosePort(holder);
}

TEST_F(Probe, SilentAndVanishingBoxesLeaveNothingOpen) {
    AddBox(3).SetSilent(true);
    k740sim::PtyBox& gone = *boxes.emplace_back(std::make_unique<k740sim::PtyBox>(dir->Path(), 4));
    gone.Unplug();
    auto form = Form();
    const int before = OpenFdCount();
    for (int i = 0; i < 3; ++i) {
        int port = 0;
        EXPECT_FALSE(Scan(*form, port));
        EXPECT_EQ(form->K740_H, platform::InvalidHandle);
    }
    EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(Probe, ManyScansLeakNoDescriptor) {
    AddBox(3).SetRawReply("v", "not a box at all\r\n");
    auto form = Form();
    const int before = OpenFdCount();
    for (int i = 0; i < 100; ++i) {
        int port = 0;
        EXPECT_FALSE(Scan(*form, port));
    }
    EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(Probe, NoPortsAtAll) {
    auto form = Form();
    int port = 0;
    EXPECT_FALSE(Scan(*form, port));
    EXPECT_EQ(form->K740_H, platform::InvalidHandle);
    EXPECT_EQ(form->COMPorts.Count(), 0);
}

}  // namespace
