// Recording to file, against a simulated encoder on a real pty, with the
// clock injected so no test waits for time to pass.
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "file_size_limit.h"
#include "window_fixture.h"

namespace {

class Recording : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Box().SetPosition(1000000);
        form->Clock = [this] { return now; };
        form->RecordingDir = out.path();
        form->UserLocale = [this] { return locale; };
    }
    void Tick(std::uint64_t at) {
        now = at;
        form->tmrReadEncoderTimer();
    }
    QString FilePath() const { return form->mmShranjujIme->toPlainText(); }
    QByteArray FileBytes() const {
        QFile f(FilePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QStringList Lines() const {
        return QString::fromLatin1(FileBytes()).split("\r\n", Qt::SkipEmptyParts);
    }
    void Start(std::uint64_t at = 1000) {
        now = at;
        form->cbShranjujMeritvePos->setChecked(true);
    }

    std::uint64_t now = 0;
    QLocale locale = QLocale::c();
    QTemporaryDir out;
};

const QByteArray kHeader = "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;\r\n";

TEST_F(Recording, FileByteForByteUnderTwoLocales) {
    struct Case {
        const char* name;
        QLocale locale;
        QByteArray lines;
    };
    const Case cases[] = {
        {"decimal_point", QLocale(QLocale::English, QLocale::UnitedStates),
         "100;0x03D090300920;1000000;0;0;244.1406;\r\n"
         "170;0x03D090300920;1000000;0;0;244.1406;\r\n"},
        {"decimal_comma", QLocale(QLocale::German, QLocale::Germany),
         "100;0x03D090300920;1000000;0;0;244,1406;\r\n"
         "170;0x03D090300920;1000000;0;0;244,1406;\r\n"},
    };
    FindEncoder();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        locale = c.locale;
        Start(1000);
        Tick(1100);
        Tick(1170);
        form->cbShranjujMeritvePos->setChecked(false);
        EXPECT_EQ(FileBytes(), kHeader + c.lines);
    }
    EXPECT_EQ(form->lblShraniElapsedTimeMs->Caption(), "0,17 seconds  FINISHED.");
}

TEST_F(Recording, NameCarriesPartNumberEmptySerialAndTimeStamp) {
    FindEncoder();
    Start();
    const QString name = QFileInfo(FilePath()).fileName();
    EXPECT_TRUE(QRegularExpression("^POSITION_TQ55SPDxxB__\\d{14}\\.csv$").match(name).hasMatch())
        << name.toStdString();
    EXPECT_EQ(QFileInfo(FilePath()).absolutePath(), QDir(out.path()).absolutePath());
    EXPECT_EQ(FileBytes(), kHeader);
}

TEST_F(Recording, StartedBeforeAnyEncoderIsKnown) {
    EXPECT_EQ(Armed(), "I");
    Start();
    EXPECT_TRUE(QFileInfo(FilePath()).fileName().startsWith("POSITION___"));
    // The start arms the reading loop whatever state the tool was in.
    EXPECT_EQ(Armed(), "IR");
    EXPECT_EQ(FileBytes(), kHeader);
}

TEST_F(Recording, DurationLimit) {
    struct Case {
        const char* name;
        int limitSec;
        std::vector<std::uint64_t> ticks;             // elapsed ms at each good reading
        std::function<void(TMainForm&, int)> before;  // before tick i
        int linesWritten;
        bool finished;
    };
    const Case cases[] = {
        {"default_twenty_seconds_writes_the_line_past_it",
         20,
         {19999, 20000, 20001, 20070},
         {},
         3,
         true},
        {"zero_is_no_limit", 0, {20001, 100000, 1000000}, {}, 3, false},
        {"lowered_below_elapsed_stops_at_next_reading",
         20,
         {5000, 6000, 7000},
         [](TMainForm& f, int i) {
             if (i == 1) f.seCasShranjevanja->SetText("3");
         },
         2,
         true},
        {"raised_during_the_recording",
         20,
         {19000, 21000, 29000, 31000},
         [](TMainForm& f, int i) {
             if (i == 1) f.seCasShranjevanja->SetText("30");
         },
         4,
         true},
    };
    FindEncoder();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form->seCasShranjevanja->SetText(QString::number(c.limitSec));
        Start(1000);
        for (std::size_t i = 0; i < c.ticks.size(); ++i) {
            if (c.before) c.before(*form, static_cast<int>(i));
            Tick(1000 + c.ticks[i]);
        }
        EXPECT_EQ(Lines().size() - 1, c.linesWritten);
        EXPECT_EQ(!form->cbShranjujMeritvePos->isChecked(), c.finished);
        EXPECT_EQ(form->lblShraniElapsedTimeMs->Caption().endsWith("  FINISHED."), c.finished);
        EXPECT_EQ(Armed(), "R") << "the reading loop goes on";
        form->cbShranjujMeritvePos->setChecked(false);
    }
}

TEST_F(Recording, DefaultLimitLabelAfterTheLastLine) {
    FindEncoder();
    Start(0);
    Tick(20001);
    EXPECT_EQ(form->lblShraniElapsedTimeMs->Caption(), "20.00 seconds  FINISHED.");
    EXPECT_EQ(Lines().last(), "20001;0x03D090300920;1000000;0;0;244.1406;");
}

TEST_F(Recording, ZeroErrorBitAndRawCount) {
    FindEncoder();
    Tick(0);
    form->btnZeroClick();
    Box().SetPosition(1000100);
    Box().SetErrorBit(true);
    Start(0);
    Tick(5);
    const QString frame =
        QString::fromStdString(k740sim::K740Box::AdvancedFrame(1000100, true, false, 0, 0));
    EXPECT_EQ(Lines().last(), "5;0x" + frame + ";1000100;1;0;0.0244;");
}

TEST_F(Recording, SurvivesALostBoxIntoTheSameFile) {
    FindEncoder();
    Start(0);
    Tick(100);
    pty->Unplug();
    Tick(200);  // Interface disconnected!
    ASSERT_EQ(Armed(), "I");
    EXPECT_TRUE(form->cbShranjujMeritvePos->isChecked());
    pty->Replug();
    form->tmrSearchInterfaceTimer();
    form->tmrSearchEncoderTimer();
    ASSERT_EQ(Armed(), "R");
    Tick(5300);
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith("100;"));
    EXPECT_TRUE(lines[2].startsWith("5300;")) << "times count from the start";
}

TEST_F(Recording, RefusedReplyWritesNoLine) {
    FindEncoder();
    Start(0);
    Tick(10);
    Box().SetFrameLengthDelta(-1);
    Tick(20);
    EXPECT_EQ(Lines().size(), 2);
}

TEST_F(Recording, ReplyOfNoDigitsIsNoReadingAndWritesNoLine) {
    FindEncoder();
    Start(0);
    // Twelve characters, none of the first nine a hex digit: it reads as count
    // 0 with CRC 0, which would pass as a good reading at position 0.
    Box().SetRawReply("?06:006", std::string(";Z;\tZ;Z;Z000\r\n"));
    Tick(10);
    EXPECT_EQ(Armed(), "E");
    EXPECT_EQ(Lines().size(), 1);
}

TEST_F(Recording, UntickingOrClosingWithNoFileOpenIsNoError) {
    form->cbShranjujMeritvePos->setChecked(false);
    form->close();
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(Recording, ClosingTheWindowClosesTheFileWithEveryLine) {
    FindEncoder();
    Start(0);
    Tick(10);
    form->close();
    EXPECT_TRUE(form->cbShranjujMeritvePos->isChecked()) << "the box is left as it is";
    EXPECT_EQ(form->ShraniFajl, nullptr);
    EXPECT_EQ(Lines().size(), 2);
}

TEST_F(Recording, LinesReachTheFileAsTheyAreWritten) {
    FindEncoder();
    Start(0);
    Tick(10);
    Tick(20);
    // Read by another reader while the recording runs: nothing is held back.
    EXPECT_EQ(Lines().size(), 3);
}

TEST_F(Recording, GoesToTheDocumentsFolderWhenInstalledOrWhenTheProgramsFolderCannotBeWritten) {
    enum class Told { Folder, Fallback };
    struct Case {
        const char* name;
        QString program;    // the program's folder
        QString documents;  // the user's documents folder
        QString expected;   // the folder the recording lands in
        Told told;          // what the log says
    };
    QFile plain(out.filePath("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    ASSERT_TRUE(QDir(out.path()).mkdir("docs"));
    ASSERT_TRUE(QDir(out.path()).mkpath("unpacked/usr/bin"));
    const Case cases[] = {
        {"writable_program_folder_as_before", out.path(), out.filePath("docs"), out.path(),
         Told::Folder},
        {"installed_program_writable_by_root", out.filePath("unpacked/usr/bin"),
         out.filePath("docs"), out.filePath("docs"), Told::Folder},
        {"read_only_program_folder", "/proc/self", out.filePath("docs"), out.filePath("docs"),
         Told::Fallback},
        {"program_folder_is_a_file", out.filePath("plain"), out.filePath("docs"),
         out.filePath("docs"), Told::Fallback},
        {"documents_folder_made_when_missing", "/proc/self", out.filePath("home/Documents"),
         out.filePath("home/Documents"), Told::Fallback},
    };
    FindEncoder();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form->RecordingDir = c.program;
        form->DocumentsDir = [&c] { return c.documents; };
        const qsizetype logged = Log().size();
        Start();
        ASSERT_TRUE(form->cbShranjujMeritvePos->isChecked()) << errors.join('|').toStdString();
        EXPECT_EQ(QFileInfo(FilePath()).absolutePath(), c.expected);
        EXPECT_TRUE(FileBytes().startsWith(kHeader));
        const QStringList added = Log().mid(logged);
        ASSERT_EQ(added.size(), 1);
        EXPECT_EQ(added[0], c.told == Told::Folder
                                ? "Recording to " + FilePath()
                                : "The program's folder " + c.program +
                                      " cannot be written; recording to " + FilePath());
        EXPECT_EQ(echoed.last(), added[0]) << "the folder is said on standard error too";
        form->cbShranjujMeritvePos->setChecked(false);
    }
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(Recording, FailedStartLeavesNothingHalfDone) {
    struct Case {
        const char* name;
        QString program, documents;
        QString named;   // the path the error names
        QString absent;  // what must not exist afterwards
    };
    QFile plain(out.filePath("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QString tooLong(300, 'x');
    const Case cases[] = {
        {"documents_under_a_file",
         out.filePath("plain"),
         out.filePath("plain/Documents"),
         out.filePath("plain/Documents"),
         {}},
        {"program_folder_missing_and_documents_name_too_long", out.filePath("gone/deeper"),
         out.filePath("new/deeper/" + tooLong), out.filePath("new/deeper/" + tooLong),
         out.filePath("new")},
        {"read_only_system_folders",
         "/proc/self",
         "/proc/self/Documents",
         "/proc/self/Documents",
         {}},
        {"no_documents_folder_known", "/proc/self", QString(), "/proc/self", {}},
    };
    FindEncoder();
    form->tmrReadEncoder->SetEnabled(false);  // the loop is idle before each start
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        form->RecordingDir = c.program;
        form->DocumentsDir = [&c] { return c.documents; };
        Start();
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].contains(c.named)) << errors[0].toStdString();
        EXPECT_FALSE(form->cbShranjujMeritvePos->isChecked());
        EXPECT_EQ(form->ShraniFajl, nullptr);
        EXPECT_EQ(Armed(), "") << "the reading loop is left as it was";
        if (!c.absent.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(c.absent)) << "made on the way";
        }
    }
    form->tmrReadEncoder->SetEnabled(true);
    form->RecordingDir = "/proc/self";
    form->DocumentsDir = [] { return QStringLiteral("/proc/self/Documents"); };
    errors.clear();
    Start();
    EXPECT_EQ(Armed(), "R");
    form->cbShranjujMeritvePos->setChecked(false);
    EXPECT_EQ(errors.size(), 1) << "unticking after a failed start is no second error";
}

TEST_F(Recording, FailedWriteEndsTheRecordingAndTheLoopGoesOn) {
    FindEncoder();
    Start(0);
    Tick(10);
    const qint64 size = QFileInfo(FilePath()).size();
    // A file-size limit makes the next line fail for real, as a full disk does.
    {
        FileSizeLimit full(size + 5);
        Tick(20);
    }
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QFileInfo(FilePath()).fileName()));
    EXPECT_FALSE(form->cbShranjujMeritvePos->isChecked());
    EXPECT_EQ(form->ShraniFajl, nullptr);
    EXPECT_EQ(Armed(), "R");
    EXPECT_TRUE(FileBytes().startsWith(kHeader + "10;0x03D090300920"));
    Tick(30);
    EXPECT_EQ(errors.size(), 1);
}

}  // namespace
