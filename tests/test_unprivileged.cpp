// The real tool run as an ordinary user (the tests run as root, who passes
// every permission check): a serial port the user may not open, and a
// program folder the user may not write, as on a fresh installation.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "e2e_support.h"
#include "pty_fixture.h"
#include "unprivileged.h"

namespace {

constexpr uid_t kNobody = 65534;

// The simulated box's pty, from its first line "k740-sim: COM<n> -> /dev/pts/X".
QString PtyOf(const SimProcess& sim) {
    for (const QString& l : sim.Lines()) {
        const int arrow = l.indexOf(" -> ");
        if (l.startsWith("k740-sim: COM") && arrow > 0) return l.mid(arrow + 4);
    }
    return {};
}

bool SetOwnerAndMode(const QString& path, uid_t uid, gid_t gid, mode_t mode) {
    const QByteArray p = path.toLocal8Bit();
    return chown(p.constData(), uid, gid) == 0 && chmod(p.constData(), mode) == 0;
}

// The tool as user nobody, with a home of its own and no supplementary groups.
class ToolAsNobody {
public:
    ToolAsNobody(const QString& program, const QString& serialDir, const QString& home,
                 const QString& display) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("K740_SERIALCOMM_DIR", serialDir);
        env.insert("HOME", home);
        env.remove("XDG_RUNTIME_DIR");
        env.remove("XDG_DOCUMENTS_DIR");
        if (display.isEmpty()) {
            env.insert("QT_QPA_PLATFORM", "offscreen");
        } else {
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DISPLAY", display);
        }
        proc_.setProcessEnvironment(env);
        proc_.setReadChannel(QProcess::StandardError);
        proc_.start("setpriv", AsNobodyArgs() + QStringList{program});
    }
    ~ToolAsNobody() {
        proc_.terminate();
        if (!proc_.waitForFinished(5000)) proc_.kill();
        proc_.waitForFinished(1000);
    }
    bool Started() { return proc_.waitForStarted(5000); }
    // Standard error so far, as lines.
    QStringList ErrorLines() {
        proc_.waitForReadyRead(20);  // QProcess reads its pipes only when asked
        err_ += proc_.readAllStandardError();
        return QString::fromUtf8(err_).split('\n', Qt::SkipEmptyParts);
    }
    bool Running() const { return proc_.state() == QProcess::Running; }

private:
    QProcess proc_;
    QByteArray err_;
};

// Ports every user can reach, a home of nobody's own, and the tool in a
// folder of root's, as /usr/bin is.
class AsUnprivilegedUser : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenToAll(ports));
        if (const QString why = WhyNobodyCannotReach(ports.path()); !why.isEmpty())
            GTEST_SKIP() << why.toStdString();
        ASSERT_TRUE(SetOwnerAndMode(home.path(), kNobody, kNobody, 0700));
        program = CopyForNobody(BuildDir() + "/Quorvane_for_K740_3T_TQ55_SPI", install);
        ASSERT_FALSE(program.isEmpty());
    }

    QTemporaryDir ports, install, home;
    QString program;
};

TEST_F(AsUnprivilegedUser, PortWithoutPermissionIsToldOnceWithItsGroup) {
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr) << "no dialout group on this machine";

    // COM7: a box behind a device of the dialout group, which nobody is not in.
    SimProcess box(ports.path(), 7);
    ASSERT_TRUE(box.WaitReady());
    ASSERT_TRUE(SetOwnerAndMode(PtyOf(box), 0, dialout->gr_gid, 0660));
    // COM8: a port anyone may open that never answers; its probes count the scans.
    SimProcess counter(ports.path(), 8);
    ASSERT_TRUE(counter.WaitReady());
    ASSERT_TRUE(SetOwnerAndMode(PtyOf(counter), 0, 0, 0666));
    counter.Send("silent on");

    ToolAsNobody tool(program, ports.path(), home.path(), {});
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(WaitFor([&] { return counter.Commands().count("v") >= 3; }, 20000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "the tool did not scan three times: " << tool.ErrorLines().join('\n').toStdString();

    const QString expected = QStringLiteral(
                                 "Cannot open COM7 (%1/COM7): permission denied. Add "
                                 "your user to the group %2 and log in again.")
                                 .arg(ports.path(), QString::fromLocal8Bit(dialout->gr_name));
    const QStringList told = tool.ErrorLines().filter("Cannot open");
    EXPECT_EQ(told, QStringList{expected});
    EXPECT_TRUE(box.Commands().isEmpty()) << "the box was reached after all";
    EXPECT_TRUE(tool.Running());
}

TEST_F(AsUnprivilegedUser, ReadOnlyProgramFolderRecordsIntoTheDocumentsFolderOfTheUsersHome) {
    Xvfb x;
    ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start";

    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    ASSERT_TRUE(SetOwnerAndMode(PtyOf(sim), 0, 0, 0666));
    ToolAsNobody tool(program, ports.path(), home.path(), x.Display());
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(WaitFor([&] { return sim.Commands().count("?06:006") >= 3; }, 20000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "the tool never read the encoder: " << tool.ErrorLines().join('\n').toStdString();

    ASSERT_FALSE(ClickRecordPositionToFile(x.Display()).isEmpty()) << "no window";

    const QString documents = home.filePath("Documents");
    const QRegularExpression told(
        "^The program's folder " + QRegularExpression::escape(install.path()) +
        " cannot be written; recording to " + QRegularExpression::escape(documents) +
        "/POSITION_TQ55SPDxxB__\\d{14}\\.csv$");
    QString line;
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const QString& l : tool.ErrorLines())
                if (told.match(l).hasMatch()) line = l;
            return !line.isEmpty();
        },
        20000, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "the log did not say where the recording went: "
        << tool.ErrorLines().join('\n').toStdString();
    const QString file = line.section(" recording to ", 1);
    EXPECT_TRUE(WaitFor(
        [&] {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) && f.readAll().count("\r\n") > 3;
        },
        20000, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "no readings in " << file.toStdString();
    EXPECT_EQ(QFileInfo(file).ownerId(), kNobody);
    EXPECT_TRUE(QDir(install.path()).entryList({"POSITION_*"}).isEmpty());
}

}  // namespace
