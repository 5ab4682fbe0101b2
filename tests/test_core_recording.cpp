// The recording file in core, without any widget: names, lines under two
// locales, the duration rule, and what the machine can do to the file.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <iostream>
#include <vector>

#include "core/Recording.h"
#include "file_size_limit.h"
#include "unprivileged.h"

namespace {

const QByteArray kHeader = "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;\r\n";

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(RecordingLine, ReadingsToLinesUnderTwoLocales) {
    struct Case {
        const char* name;
        std::uint64_t elapsed;
        QString rx;
        std::int64_t count;
        bool error, warning;
        double mm;
        QByteArray point, comma;  // the line under a decimal point and a decimal comma locale
    };
    const Case cases[] = {
        {"worked_example", 100, "03D090300920", 1000000, false, false, 244.140625,
         "100;0x03D090300920;1000000;0;0;244.1406;\r\n",
         "100;0x03D090300920;1000000;0;0;244,1406;\r\n"},
        {"error_and_warning_bits", 0, "03D09030", 1000000, true, true, 244.140625,
         "0;0x03D09030;1000000;1;1;244.1406;\r\n", "0;0x03D09030;1000000;1;1;244,1406;\r\n"},
        {"relative_to_a_zero_below", 5, "03D093300920", 1000100, true, false, -0.0244140625,
         "5;0x03D093300920;1000100;1;0;-0.0244;\r\n", "5;0x03D093300920;1000100;1;0;-0,0244;\r\n"},
        {"no_grouping_in_time_or_position", 1234567, "FFFFFFC00000", 67108863, false, false,
         16383.999755859375, "1234567;0xFFFFFFC00000;67108863;0;0;16383.9998;\r\n",
         "1234567;0xFFFFFFC00000;67108863;0;0;16383,9998;\r\n"},
        // A reply of no hex digits passes its check; its bytes cannot add
        // fields or lines.
        {"separators_in_the_reply", 10, ";Z;\tZ;Z;Z000", 0, true, true, 0.0,
         "10;0x?Z??Z?Z?Z000;0;1;1;0.0000;\r\n", "10;0x?Z??Z?Z?Z000;0;1;1;0,0000;\r\n"},
    };
    const QLocale point(QLocale::English, QLocale::UnitedStates);
    const QLocale comma(QLocale::German, QLocale::Germany);
    for (const auto& c : cases) {
        TEncoderPosition pos;
        pos.Position_cnt = c.count;
        pos.ErrBit = c.error;
        pos.WarnBit = c.warning;
        pos.Position_unit = c.mm;
        EXPECT_EQ(RecordingLine(c.elapsed, c.rx, pos, point), c.point) << c.name;
        EXPECT_EQ(RecordingLine(c.elapsed, c.rx, pos, comma), c.comma) << c.name;
    }
}

TEST(RecordingPath, NameCarriesPartNumberSerialAndTimeStampInTheCallersFolder) {
    const QDateTime when(QDate(2024, 1, 31), QTime(14, 25, 1));
    EXPECT_EQ(RecordingPath("/data/rec", "TQ55SPDxxB", "", when),
              "/data/rec/POSITION_TQ55SPDxxB__20240131142501.csv");
    EXPECT_EQ(RecordingPath("/data/rec", "", "", when), "/data/rec/POSITION___20240131142501.csv")
        << "before any encoder is known";
    EXPECT_EQ(RecordingPath(".", "TQ55SPCxxB", "", QDateTime(QDate(2025, 12, 9), QTime(3, 4, 5))),
              "./POSITION_TQ55SPCxxB__20251209030405.csv");
}

TEST(RecordingTimeUp, Table) {
    struct Case {
        const char* name;
        std::uint64_t elapsed;
        int limit;
        bool up;
    } const cases[] = {
        {"at_the_limit_goes_on", 20000, 20, false},
        {"past_the_limit_stops", 20001, 20, true},
        {"zero_is_no_limit", 100000000, 0, false},
        {"negative_is_no_limit", 100000000, -1, false},
        {"large_limit_does_not_wrap", 4294967296000ull, 10000, true},
    };
    for (const auto& c : cases) EXPECT_EQ(RecordingTimeUp(c.elapsed, c.limit), c.up) << c.name;
}

TEST(RecordingFile, StartsAnewAndEveryLineIsOnDiskAsItIsWritten) {
    QTemporaryDir dir;
    const QString path = dir.filePath("POSITION_x.csv");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older recording of the same name\r\n");
    }
    TRecordingResult result;
    auto file = TRecordingFile::Start(path, result);
    ASSERT_TRUE(file) << result.Reason.toStdString();
    EXPECT_TRUE(result.Ok());
    EXPECT_EQ(ReadAll(path), kHeader);
    ASSERT_TRUE(file->Write("1;0x00;0;0;0;0.0000;\r\n").Ok());
    // Another reader sees it before the file is closed.
    EXPECT_EQ(ReadAll(path), kHeader + "1;0x00;0;0;0;0.0000;\r\n");
    EXPECT_TRUE(file->Close().Ok());
}

// Drops to an unprivileged user for the life of the object: root passes
// every permission check. Real and effective ids both, with no
// supplementary groups, because access() and so QFileInfo::isWritable() go
// by the real ones; root stays the saved id so the object can come back.
class AsNobody {
public:
    AsNobody() {
        groups_.resize(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
        if (getgroups(static_cast<int>(groups_.size()), groups_.data()) < 0) groups_.clear();
        ok_ = setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 0) == 0 &&
              setresuid(65534, 65534, 0) == 0;
    }
    ~AsNobody() {
        [[maybe_unused]] const int u = setresuid(0, 0, 0);
        [[maybe_unused]] const int g = setresgid(0, 0, 0);
        [[maybe_unused]] const int s = setgroups(groups_.size(), groups_.data());
    }
    bool Ok() const { return ok_; }

private:
    bool ok_ = false;
    std::vector<gid_t> groups_;
};

TEST(RecordingFile, StartFailuresLeaveNothingOpenAndNothingCreated) {
    QTemporaryDir dir;
    ASSERT_EQ(chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir("readonly"));
    ASSERT_EQ(chmod(dir.filePath("readonly").toLocal8Bit().constData(), 0555), 0);
    QFile plain(dir.filePath("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    struct Case {
        const char* name;
        QString folder;
        bool unprivileged;
    };
    const Case cases[] = {
        {"folder_missing", dir.filePath("gone"), false},
        {"folder_is_a_file", dir.filePath("plain"), false},
        {"read_only_folder", dir.filePath("readonly"), true},
    };
    // Where nobody cannot reach the folder at all, the read-only row would
    // pass for the wrong reason.
    const QString noNobody = WhyNobodyCannotReach(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.unprivileged && !noNobody.isEmpty()) {
            std::cout << "skipped " << c.name << ": " << noNobody.toStdString() << "\n";
            continue;
        }
        const QString path = QDir(c.folder).filePath("POSITION_x.csv");
        TRecordingResult result;
        std::unique_ptr<TRecordingFile> file;
        {
            std::unique_ptr<AsNobody> nobody;
            if (c.unprivileged) {
                nobody = std::make_unique<AsNobody>();
                ASSERT_TRUE(nobody->Ok());
            }
            file = TRecordingFile::Start(path, result);
        }
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(result.Failure, TRecordingFailure::StartFailed);
        EXPECT_EQ(result.Path, path);
        EXPECT_FALSE(result.Reason.isEmpty());
        EXPECT_FALSE(QFile::exists(path));
    }
}

TEST(RecordingFile, StartThatCannotWriteTheHeaderLeavesNoFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("POSITION_x.csv");
    TRecordingResult result;
    std::unique_ptr<TRecordingFile> file;
    {
        FileSizeLimit full(10);  // the file can be created, its header cannot be written
        file = TRecordingFile::Start(path, result);
    }
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(result.Failure, TRecordingFailure::StartFailed);
    EXPECT_FALSE(QFile::exists(path)) << "a recording without its header was left behind";
}

TEST(RecordingFolder, ReadOnlyProgramFolderSendsRecordingsToTheUsersDocuments) {
    QTemporaryDir dir;
    ASSERT_EQ(chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
    if (const QString why = WhyNobodyCannotReach(dir.path()); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    ASSERT_TRUE(QDir(dir.path()).mkpath("program"));
    ASSERT_EQ(chmod(dir.filePath("program").toLocal8Bit().constData(), 0755), 0);
    ASSERT_TRUE(QDir(dir.path()).mkpath("home"));
    ASSERT_EQ(chown(dir.filePath("home").toLocal8Bit().constData(), 65534, 65534), 0);
    TRecordingFolder chosen;
    {
        AsNobody nobody;
        ASSERT_TRUE(nobody.Ok());
        chosen = ChooseRecordingFolder(dir.filePath("program"), dir.filePath("home/Documents"));
    }
    EXPECT_TRUE(chosen.Result.Ok()) << chosen.Result.Reason.toStdString();
    EXPECT_TRUE(chosen.Fallback);
    EXPECT_EQ(chosen.Path, dir.filePath("home/Documents"));
    EXPECT_TRUE(QFileInfo(chosen.Path).isDir()) << "the documents folder is made when missing";

    const TRecordingFolder asRoot =
        ChooseRecordingFolder(dir.filePath("program"), dir.filePath("home/Documents"));
    EXPECT_FALSE(asRoot.Fallback) << "a folder the user may write is used as before";
    EXPECT_EQ(asRoot.Path, dir.filePath("program"));
}

TEST(RecordingFolder, DocumentsFolderThatCannotBeMadeIsNamedWithTheReason) {
    QTemporaryDir dir;
    ASSERT_EQ(chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
    if (const QString why = WhyNobodyCannotReach(dir.path()); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    ASSERT_TRUE(QDir(dir.path()).mkpath("program"));
    TRecordingFolder chosen;
    {
        AsNobody nobody;  // may neither write program nor make a folder beside it
        ASSERT_TRUE(nobody.Ok());
        chosen = ChooseRecordingFolder(dir.filePath("program"), dir.filePath("home/Documents"));
    }
    EXPECT_EQ(chosen.Result.Failure, TRecordingFailure::FolderFailed);
    EXPECT_EQ(chosen.Result.Path, dir.filePath("home/Documents"));
    EXPECT_FALSE(chosen.Result.Reason.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("home")));
}

// Root, or an administrator, may write anywhere: an installed program still
// keeps its recordings out of its own folder.
TEST(RecordingFolder, InstalledProgramRecordsIntoTheDocumentsFolderWhateverItsRights) {
    const struct {
        const char* name;
        const char* program;
        bool installed;
    } rows[] = {
        {"unpacked_package", "root/usr/bin", true},
        {"users_own_programs", "home/.local/bin", true},
        {"build_tree", "home/quorvane/build", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        QTemporaryDir dir;
        const QString program = dir.filePath(QLatin1String(r.program));
        ASSERT_TRUE(QDir().mkpath(program));
        ASSERT_TRUE(QFileInfo(program).isWritable());
        const TRecordingFolder chosen = ChooseRecordingFolder(program, dir.filePath("Documents"));
        EXPECT_TRUE(chosen.Result.Ok()) << chosen.Result.Reason.toStdString();
        EXPECT_EQ(chosen.Installed, r.installed);
        EXPECT_EQ(chosen.Fallback, r.installed);
        EXPECT_EQ(chosen.Path, r.installed ? dir.filePath("Documents") : program);
    }
}

TEST(RecordingFolder, InstalledProgramWithoutDocumentsFolderSaysWhy) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir().mkpath(dir.filePath("usr/bin")));
    const TRecordingFolder chosen = ChooseRecordingFolder(dir.filePath("usr/bin"), QString());
    EXPECT_EQ(chosen.Result.Failure, TRecordingFailure::FolderFailed);
    EXPECT_TRUE(chosen.Result.Reason.startsWith("an installed program keeps no recordings"))
        << chosen.Result.Reason.toStdString();
}

TEST(RecordingFile, DiskFullEndsWithWholeLinesOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath("POSITION_x.csv");
    TRecordingResult result;
    auto file = TRecordingFile::Start(path, result);
    ASSERT_TRUE(file);
    const QByteArray line = "10;0x03D090300920;1000000;0;0;244.1406;\r\n";
    ASSERT_TRUE(file->Write(line).Ok());
    // A file-size limit makes the next line fail for real, part-way, as a
    // full disk does.
    TRecordingResult failed;
    {
        FileSizeLimit full(kHeader.size() + line.size() + 5);
        failed = file->Write(line);
    }
    EXPECT_EQ(failed.Failure, TRecordingFailure::WriteFailed);
    EXPECT_EQ(failed.Path, path);
    EXPECT_FALSE(failed.Reason.isEmpty());
    EXPECT_NE(failed.Reason, "Unknown error");
    EXPECT_TRUE(file->Close().Ok());
    EXPECT_EQ(ReadAll(path), kHeader + line) << "a cut-off line was left in the file";
}

}  // namespace
