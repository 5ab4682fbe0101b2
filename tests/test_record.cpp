// The headless recorder: tick by tick in-process against simulated boxes
// (beside the window, to show both write the same file), and k740-record as
// a program against k740-sim.
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <iostream>

#include "e2e_support.h"
#include "file_size_limit.h"
#include "record/Recorder.h"
#include "unprivileged.h"
#include "window_fixture.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList Lines(const QString& path) {
    return QString::fromLatin1(ReadAll(path)).split("\r\n", Qt::SkipEmptyParts);
}

const QDateTime kStartTime(QDate(2024, 1, 31), QTime(14, 25, 1));

// ------------------------------------------------------------ beside the window

// The window records from the box on COM7, the recorder from an identical
// box on COM8; both boxes are put through the same frames at the same times.
class RecorderBesideTheWindow : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        other = std::make_unique<k740sim::PtyBox>(dir->Path(), 8);
        for (k740sim::K740Box* b : Boxes()) {
            b->SetPosition(1000000);
            b->SetSpeed(37);
        }
        const QLocale german(QLocale::German, QLocale::Germany);
        form->Clock = [this] { return now; };
        form->RecordingDir = toolOut.path();
        form->UserLocale = [german] { return german; };
        TRecorderOptions o;
        o.OutFolder = recorderOut.path();
        o.Seconds = 0;
        o.Port = 8;
        rec = std::make_unique<TRecorder>(o);
        rec->Clock = [this] { return now; };
        rec->Locale = [german] { return german; };
        rec->Now = [] { return kStartTime; };
    }
    void TearDown() override {
        rec.reset();
        WindowTest::TearDown();
    }
    std::vector<k740sim::K740Box*> Boxes() { return {&Box(), &other->Box()}; }
    void Both(const std::function<void(k740sim::K740Box&)>& change) {
        for (k740sim::K740Box* b : Boxes()) change(*b);
    }

    std::uint64_t now = 0;
    QTemporaryDir toolOut, recorderOut;
    std::unique_ptr<k740sim::PtyBox> other;
    std::unique_ptr<TRecorder> rec;
};

TEST_F(RecorderBesideTheWindow, SameFramesGiveTheToolsFileByteForByte) {
    FindEncoder();
    rec->Step();  // the box on COM8, set up
    now = 1000;
    rec->Step();  // the encoder: the file starts
    ASSERT_EQ(rec->State(), TRecorderState::Reading);
    form->cbShranjujMeritvePos->setChecked(true);

    // Each step: the frame change, then one tick of each at the same time.
    struct Step {
        const char* name;
        std::function<void(k740sim::K740Box&)> change;
        TRecorderState after;
    };
    const auto none = [](k740sim::K740Box&) {};
    const Step steps[] = {
        {"plain", none, TRecorderState::Reading},
        {"error_bit", [](auto& b) { b.SetErrorBit(true); }, TRecorderState::Reading},
        {"warning_and_status",
         [](auto& b) {
             b.SetErrorBit(false);
             b.SetWarningBit(true);
             b.SetDetailedStatus(0x11);
         },
         TRecorderState::Reading},
        {"trailing_bits_with_good_crc", [](auto& b) { b.SetTrailingBits(3); },
         TRecorderState::Reading},
        {"crc_fails", [](auto& b) { b.SetBadCrc(true); }, TRecorderState::SearchEncoder},
        {"found_again",
         [](auto& b) {
             b.SetBadCrc(false);
             b.SetTrailingBits(0);
         },
         TRecorderState::Reading},
        {"after_the_loss", none, TRecorderState::Reading},
        {"simple_encoder_plugged_in", [](auto& b) { b.SetEncoder(k740sim::EncoderKind::Simple); },
         TRecorderState::SearchEncoder},
        {"simple_found", none, TRecorderState::Reading},
        {"simple_reading", none, TRecorderState::Reading},
        {"simple_reading_again", none, TRecorderState::Reading},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        now += 70;
        Both(s.change);
        if (form->tmrSearchEncoder->Enabled())
            form->tmrSearchEncoderTimer();
        else
            form->tmrReadEncoderTimer();
        rec->Step();
        EXPECT_EQ(rec->State(), s.after);
    }
    form->cbShranjujMeritvePos->setChecked(false);
    rec->Stop();
    EXPECT_EQ(rec->Exit(), TRecorderExit::Done);

    EXPECT_EQ(QFileInfo(rec->FilePath()).fileName(), "POSITION_TQ55SPDxxB__20240131142501.csv");
    const QByteArray tool = ReadAll(form->mmShranjujIme->toPlainText());
    EXPECT_EQ(Lines(rec->FilePath()).size(), 8) << "header and seven good readings";
    EXPECT_EQ(ReadAll(rec->FilePath()), tool);
    EXPECT_TRUE(tool.contains(";244,1"));
    EXPECT_EQ(rec->Readings(), 7u);
    EXPECT_EQ(rec->Faults(), 2u);
}

// ------------------------------------------------------------ alone, tick by tick

class Recorder : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<k740sim::PtyBox>(dir->Path(), 7);
        Box().SetSpeed(0);
    }
    std::unique_ptr<TRecorder> Make(TRecorderOptions o) {
        if (o.OutFile.isEmpty()) o.OutFolder = out.path();
        auto r = std::make_unique<TRecorder>(o);
        r->Clock = [this] { return now; };
        r->Locale = [] { return QLocale::c(); };
        r->Log = [this](const QString& l) { log << l; };
        return r;
    }
    // Steps at the times given, each after the wait the last step asked for.
    void Advance(TRecorder& r, int steps) {
        for (int i = 0; i < steps && r.State() != TRecorderState::Finished; ++i) now += r.Step();
    }
    k740sim::K740Box& Box() { return pty->Box(); }

    ModuleGlobalsGuard globals;
    std::uint64_t now = 0;
    QStringList log;
    QTemporaryDir out;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<k740sim::PtyBox> pty;
};

TEST_F(Recorder, LostBoxGoesBackToTheSearchAndTheRecordingGoesOnInTheSameFile) {
    TRecorderOptions o;
    o.Seconds = 0;
    auto rec = Make(o);
    Advance(*rec, 3);  // box, encoder, one reading
    ASSERT_EQ(rec->Readings(), 1u);
    pty->Unplug();
    Advance(*rec, 1);
    EXPECT_EQ(rec->State(), TRecorderState::SearchInterface);
    EXPECT_EQ(rec->Faults(), 1u);
    EXPECT_EQ(log.last(), "Interface disconnected!");
    Advance(*rec, 3);  // searching while the box is away: no wait applies now
    EXPECT_EQ(rec->State(), TRecorderState::SearchInterface);
    pty->Replug();
    Advance(*rec, 3);  // found, set up, encoder found, one reading
    ASSERT_EQ(rec->State(), TRecorderState::Reading);
    rec->Stop();
    // Found at 0, the file started at 850, read at 920; lost at 990, searched
    // until 4990, found again, the encoder at 5840 and read at 5910.
    EXPECT_EQ(Lines(rec->FilePath()).mid(1),
              (QStringList{"70;0x03D090300920;1000000;0;0;244.1406;",
                           "5060;0x03D090300920;1000000;0;0;244.1406;"}));
}

TEST_F(Recorder, TimeRunsOutWhileTheBoxIsAway) {
    TRecorderOptions o;
    o.Seconds = 2;
    auto rec = Make(o);
    Advance(*rec, 3);
    pty->Unplug();
    Advance(*rec, 10);
    EXPECT_EQ(rec->State(), TRecorderState::Finished);
    EXPECT_EQ(rec->Exit(), TRecorderExit::Done);
    EXPECT_EQ(Lines(rec->FilePath()).size(), 2);
}

TEST_F(Recorder, GivesUpWithinTheWait) {
    struct Case {
        const char* name;
        std::function<void()> fault;
        std::optional<int> port;
        QString why;
    };
    const Case cases[] = {
        {"no_box", [this] { pty->Unplug(); }, {}, "no K740-3T box answered within 2 s"},
        {"no_box_on_that_port", [] {}, 5, "no K740-3T box answered on COM5 within 2 s"},
        {"no_encoder",
         [this] { Box().SetEncoder(k740sim::EncoderKind::None); },
         {},
         "no encoder answered on the box on COM7 within 2 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!pty->Plugged()) pty->Replug();
        Box().SetEncoder(k740sim::EncoderKind::Advanced);
        c.fault();
        TRecorderOptions o;
        o.WaitSeconds = 2;
        o.Port = c.port;
        now = 0;
        log.clear();
        auto rec = Make(o);
        Advance(*rec, 10);
        EXPECT_EQ(rec->State(), TRecorderState::Finished);
        EXPECT_EQ(rec->Exit(), TRecorderExit::NoBox);
        EXPECT_GE(now, 2000u);
        EXPECT_LE(now, 3000u) << "gave up one search interval after the wait at most";
        EXPECT_EQ(log.last(), c.why);
        EXPECT_TRUE(QDir(out.path()).isEmpty()) << "nothing created";
    }
}

TEST_F(Recorder, FileFailuresEndWithExitFour) {
    {
        TRecorderOptions o;
        o.OutFile = out.filePath("gone/x.csv");
        auto rec = Make(o);
        Advance(*rec, 2);
        EXPECT_EQ(rec->Exit(), TRecorderExit::FileFailed);
        EXPECT_TRUE(log.last().startsWith("cannot create " + out.filePath("gone/x.csv") + ": "))
            << log.last().toStdString();
    }
    // A write that fails part-way, as on a full disk: every whole line stays.
    TRecorderOptions o;
    o.OutFile = out.filePath("x.csv");
    o.Seconds = 0;
    auto rec = Make(o);
    Advance(*rec, 3);
    ASSERT_EQ(rec->Readings(), 1u);
    const QByteArray before = ReadAll(o.OutFile);
    {
        FileSizeLimit full(before.size() + 5);
        Advance(*rec, 1);
    }
    EXPECT_EQ(rec->State(), TRecorderState::Finished);
    EXPECT_EQ(rec->Exit(), TRecorderExit::FileFailed);
    EXPECT_TRUE(log.last().startsWith("cannot write ")) << log.last().toStdString();
    EXPECT_EQ(ReadAll(o.OutFile), before);
}

// ------------------------------------------------------------ the program

struct RecorderRun {
    int exitCode = -1;
    bool finished = false;
    QString stdErr, stdOut;
    double seconds = 0;
};

void StartRecorder(QProcess& p, const QStringList& args, const QString& serialDir,
                   const QString& workDir, const QStringList& prefix = {},
                   const QString& recorder = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("K740_SERIALCOMM_DIR", serialDir);
    env.insert("LC_ALL", "C");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    const QString program = recorder.isEmpty() ? BuildDir() + "/k740-record" : recorder;
    if (prefix.isEmpty()) {
        p.start(program, args);
    } else {
        p.start(prefix.first(), prefix.mid(1) + QStringList{program} + args);
    }
}

RecorderRun RunRecorder(const QStringList& args, const QString& serialDir, const QString& workDir,
                        int deadlineMs, const QStringList& prefix = {},
                        const QString& recorder = {}) {
    QProcess p;
    const auto t0 = std::chrono::steady_clock::now();
    StartRecorder(p, args, serialDir, workDir, prefix, recorder);
    RecorderRun r;
    r.finished = p.waitForFinished(deadlineMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.stdErr = QString::fromLocal8Bit(p.readAllStandardError());
    r.stdOut = QString::fromLocal8Bit(p.readAllStandardOutput());
    return r;
}

QStringList ServedFrames(SimProcess& sim) {
    sim.Send("frames");
    QStringList served;
    if (!sim.WaitForLine("end of frames", 5000)) return served;
    for (const QString& l : sim.Lines())
        if (l.startsWith("frame: ")) served << l.mid(7);
    return served;
}

QStringList RecordedFrames(const QString& path) {
    QStringList rx;
    for (const QString& l : Lines(path).mid(1)) rx << l.section(';', 1, 1).mid(2);
    return rx;
}

TEST(RecordProgram, RecordsTwoSecondsOfEveryServedFrameInOrder) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    const RecorderRun r =
        RunRecorder({"--seconds", "2", "--out", "rec.csv"}, ports.path(), work.path(), 20000);
    ASSERT_TRUE(r.finished) << r.stdErr.toStdString();
    EXPECT_EQ(r.exitCode, 0) << r.stdErr.toStdString();
    const QString file = QDir(work.path()).filePath("rec.csv");
    const QStringList served = ServedFrames(sim);
    const QStringList recorded = RecordedFrames(file);
    ASSERT_GE(recorded.size(), 10);
    // The first frame served was the detection's; every one after it is a line.
    EXPECT_EQ(served.mid(1), recorded);
    const QStringList lines = Lines(file);
    EXPECT_EQ(lines.first(), "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;");
    std::uint64_t last = 0;
    for (const QString& l : lines.mid(1)) {
        const std::uint64_t t = l.section(';', 0, 0).toULongLong();
        EXPECT_GT(t, last) << l.toStdString();
        last = t;
    }
    EXPECT_GT(last, 2000u);
    EXPECT_LE(lines[lines.size() - 2].section(';', 0, 0).toULongLong(), 2000u)
        << "the reading that passes the time is the last";
    EXPECT_TRUE(r.stdErr.contains(QRegularExpression("\\d+ readings, [0-9.]+/s, 0 faults")))
        << r.stdErr.toStdString();
}

TEST(RecordProgram, NoBoxGivesExitThreeWithinTheWait) {
    QTemporaryDir ports, work;
    const RecorderRun r = RunRecorder({"--wait", "1"}, ports.path(), work.path(), 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_LT(r.seconds, 5.0) << "a wait of 1 s, one search interval and the start-up";
    EXPECT_EQ(r.stdErr.toStdString(), "k740-record: no K740-3T box answered within 1 s\n");
    EXPECT_TRUE(QDir(work.path()).isEmpty());
}

TEST(RecordProgram, SigtermKeepsEveryLine) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    QProcess p;
    StartRecorder(p, {"--seconds", "0", "--interval", "5", "--out", "rec.csv"}, ports.path(),
                  work.path());
    ASSERT_TRUE(p.waitForStarted(5000));
    const QString file = QDir(work.path()).filePath("rec.csv");
    ASSERT_TRUE(WaitFor([&] { return Lines(file).size() > 40; }, 15000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }));
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    const QStringList served = ServedFrames(sim);
    EXPECT_EQ(served.mid(1), RecordedFrames(file));
    EXPECT_TRUE(ReadAll(file).endsWith(";\r\n")) << "the last line is whole";
}

// One lost encoder is "1 fault", in the progress line as in any sentence.
TEST(RecordProgram, ProgressCountsOneFaultInTheSingular) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    QProcess p;
    StartRecorder(p, {"--seconds", "3", "--out", "rec.csv"}, ports.path(), work.path());
    ASSERT_TRUE(p.waitForStarted(5000));
    QString err;
    auto said = [&](const QString& text) {
        return WaitFor(
            [&] {
                err += QString::fromLocal8Bit(p.readAllStandardError());
                return err.contains(text);
            },
            15000, [&] { p.waitForReadyRead(50); });
    };
    ASSERT_TRUE(said("Recording to ")) << err.toStdString();
    sim.Send("encoder none");
    ASSERT_TRUE(said("Encoder disconnected!")) << err.toStdString();
    sim.Send("encoder advanced");
    ASSERT_TRUE(p.waitForFinished(20000));
    err += QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
    const QString last = err.trimmed().section('\n', -1);
    EXPECT_TRUE(last.contains(QRegularExpression("^k740-record: \\d+ readings, [0-9.]+/s, 1 fault, ")))
        << last.toStdString();
}

TEST(RecordProgram, BadInputGivesOneLineAndCreatesNothing) {
    QTemporaryDir ports, work;
    ASSERT_TRUE(QDir(work.path()).mkdir("readonly"));
    ASSERT_TRUE(OpenToAll(work));
    QFile::setPermissions(work.filePath("readonly"),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                              QFileDevice::ExeOther);
    const QStringList asNobody = QStringList{"setpriv"} + AsNobodyArgs();
    // Run from a folder every user can reach, as it would be installed.
    QTemporaryDir bin;
    const QString recorder = CopyForNobody(BuildDir() + "/k740-record", bin);
    ASSERT_FALSE(recorder.isEmpty());
    const QString noNobody = WhyNobodyCannotReach(work.path());
    struct Case {
        const char* name;
        QStringList args;
        int exitCode;
        QString message;
        QStringList prefix;
    };
    const Case cases[] = {
        {"unknown_option", {"--speed", "3"}, 2, "unknown option --speed", {}},
        {"stray_argument", {"out.csv"}, 2, "unexpected argument \"out.csv\"", {}},
        {"negative_seconds",
         {"--seconds", "-1"},
         2,
         "--seconds wants a whole number of seconds from 0 to 2147483, not \"-1\"",
         {}},
        {"non_numeric_interval",
         {"--interval", "fast"},
         2,
         "--interval wants a whole number of milliseconds from 1 to 10000, not \"fast\"",
         {}},
        {"zero_interval",
         {"--interval=0"},
         2,
         "--interval wants a whole number of milliseconds from 1 to 10000, not \"0\"",
         {}},
        {"fraction_of_a_second",
         {"--wait", "1.5"},
         2,
         "--wait wants a whole number of seconds from 0 to 2147483, not \"1.5\"",
         {}},
        {"port_out_of_range",
         {"--port", "256"},
         2,
         "--port wants a whole number of a port from 1 to 255, not \"256\"",
         {}},
        {"huge_number",
         {"--seconds", "99999999999999999999"},
         2,
         "--seconds wants a whole number of seconds from 0 to 2147483, not "
         "\"99999999999999999999\"",
         {}},
        {"missing_value", {"--out"}, 2, "--out wants a value", {}},
        {"folder_missing",
         {"--out", "gone/rec.csv"},
         4,
         "folder " + work.filePath("gone") + " does not exist",
         {}},
        {"out_is_a_folder",
         {"--out", "readonly"},
         4,
         work.filePath("readonly") + " is a folder",
         {}},
        {"read_only_folder",
         {"--out", "readonly/rec.csv"},
         4,
         "cannot write to folder " + work.filePath("readonly"),
         asNobody},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.prefix.isEmpty() && !noNobody.isEmpty()) {
            std::cout << "skipped " << c.name << ": " << noNobody.toStdString() << "\n";
            continue;
        }
        const RecorderRun r =
            RunRecorder(c.args, ports.path(), work.path(), 5000, c.prefix, recorder);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.stdErr.toStdString();
        const QStringList lines = r.stdErr.split('\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines[0].toStdString(), ("k740-record: " + c.message).toStdString());
        if (c.exitCode == 2) {
            EXPECT_EQ(lines.size(), 2);
            EXPECT_TRUE(lines.last().startsWith("usage: k740-record [--out FILE]"));
        } else {
            EXPECT_EQ(lines.size(), 1);
        }
        EXPECT_EQ(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                  QStringList{"readonly"});
        EXPECT_TRUE(QDir(work.filePath("readonly")).isEmpty());
    }
    const RecorderRun help = RunRecorder({"--help"}, ports.path(), work.path(), 5000);
    EXPECT_EQ(help.exitCode, 0);
    for (const char* code : {"  0  done", "  2  bad arguments", "  3  no box", "  4  the file"})
        EXPECT_TRUE(help.stdOut.contains(code)) << code;
}

}  // namespace
