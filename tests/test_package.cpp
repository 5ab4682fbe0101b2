// The Debian package as a user gets it: unpacked, its desktop entry and icons
// must pass the validators a desktop relies on, lintian must find no error,
// and the unpacked tool must find a simulated box and read its encoder.
// ctest builds the package first (the package_build fixture) into
// build/tests/package.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include "e2e_support.h"
#include "pty_fixture.h"

namespace {

const QString kName = QStringLiteral("quorvane-k740-tq55-spi");

QString PackageFile() {
    const QDir out(BuildDir() + "/tests/package");
    const QStringList debs = out.entryList({kName + "_*.deb"}, QDir::Files);
    return debs.size() == 1 ? out.filePath(debs.first()) : QString();
}

struct ProgramRun {
    int exitCode = -1;
    QString output;
};

ProgramRun RunProgram(const QString& program, const QStringList& args, int timeoutMs = 120000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return {-1, "timed out: " + program};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAll())};
}

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        deb = PackageFile();
        ASSERT_FALSE(deb.isEmpty()) << "no single package in build/tests/package; run the "
                                       "tests through ctest, which builds it first";
        ASSERT_TRUE(root.isValid());
        const ProgramRun x = RunProgram("dpkg-deb", {"-x", deb, root.path()});
        ASSERT_EQ(x.exitCode, 0) << x.output.toStdString();
    }
    QString Path(const QString& relative) const { return root.filePath(relative); }

    QString deb;
    QTemporaryDir root;
};

TEST_F(Package, VersionFollowsTheProgramsVersion) {
    const ProgramRun v = RunProgram("dpkg-deb", {"-f", deb, "Version"});
    EXPECT_EQ(
        v.output.trimmed(),
        QStringLiteral(
            QT_STRINGIFY(K740_VERSION_MAJOR) "." QT_STRINGIFY(K740_VERSION_MINOR) "." QT_STRINGIFY(
                K740_VERSION_PATCH) "." QT_STRINGIFY(K740_VERSION_TWEAK)));
}

TEST_F(Package, DependsOnTheLibrariesItLinksAndTheFontsItSubstitutes) {
    const QString depends = RunProgram("dpkg-deb", {"-f", deb, "Depends"}).output;
    for (const char* p :
         {"libqt6widgets6", "libqt6core6", "libc6", "fonts-liberation,", "fonts-liberation2"})
        EXPECT_TRUE(depends.contains(QLatin1String(p)))
            << p << " missing from: " << depends.toStdString();
    // Qt's chart module is licensed GPL or commercially only; a program whose
    // licence is "all rights reserved" must not bring it along.
    EXPECT_FALSE(depends.contains(QLatin1String("charts"))) << depends.toStdString();
}

TEST_F(Package, DesktopEntryPassesValidationAndNamesInstalledProgramAndIcon) {
    const QString entry = Path("usr/share/applications/" + kName + ".desktop");
    ASSERT_TRUE(QFile::exists(entry));
    const ProgramRun v = RunProgram("desktop-file-validate", {entry});
    EXPECT_EQ(v.exitCode, 0) << v.output.toStdString();
    EXPECT_TRUE(v.output.trimmed().isEmpty()) << "warnings: " << v.output.toStdString();

    QSettings s(entry, QSettings::IniFormat);
    s.beginGroup("Desktop Entry");
    const QString exec = s.value("Exec").toString().section(' ', 0, 0);
    EXPECT_TRUE(QFileInfo(Path("usr/bin/" + exec)).isExecutable()) << exec.toStdString();
    EXPECT_EQ(s.value("Icon").toString(), kName);
    EXPECT_FALSE(s.value("Categories").toString().isEmpty());
}

// A task bar on X11 ties a window to its menu entry, and so to its name and
// icon, through the class of the window that the entry names.
TEST_F(Package, DesktopEntryNamesTheClassOfTheRealWindow) {
    QSettings entry(Path("usr/share/applications/" + kName + ".desktop"), QSettings::IniFormat);
    entry.beginGroup("Desktop Entry");
    const QString wmClass = entry.value("StartupWMClass").toString();
    ASSERT_FALSE(wmClass.isEmpty());

    Xvfb x;
    ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start";
    QTemporaryDir ports;
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("K740_SERIALCOMM_DIR", ports.path());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", x.Display());
    tool.setProcessEnvironment(env);
    tool.start(Path("usr/bin/Quorvane_for_K740_3T_TQ55_SPI"), {});
    ASSERT_TRUE(tool.waitForStarted(5000));
    const QString window = XdoTool(x.Display(), {"search", "--sync", "--name", "TQ55 SPI encoders"})
                               .section('\n', 0, 0);
    ASSERT_FALSE(window.isEmpty());
    QProcess xprop;
    xprop.setProcessEnvironment(env);
    xprop.start("xprop", {"-id", window, "WM_CLASS"});
    ASSERT_TRUE(xprop.waitForFinished(10000));
    // WM_CLASS(STRING) = "instance", "class": the entry matches the class.
    const QString said = QString::fromLatin1(xprop.readAllStandardOutput()).trimmed();
    const QRegularExpression classOf("^WM_CLASS\\(STRING\\) = \"[^\"]*\", \"([^\"]*)\"$");
    const QRegularExpressionMatch m = classOf.match(said);
    ASSERT_TRUE(m.hasMatch()) << said.toStdString();
    EXPECT_EQ(m.captured(1), wmClass);
    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(5000));
}

TEST_F(Package, IconsHaveTheSizeOfTheirFolderAndTheSvgParses) {
    const QDir hicolor(Path("usr/share/icons/hicolor"));
    int pngs = 0;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString file =
            hicolor.filePath(QStringLiteral("%1x%1/apps/").arg(size) + kName + ".png");
        const QImage image(file);
        ASSERT_FALSE(image.isNull()) << "not a readable PNG: " << file.toStdString();
        EXPECT_EQ(image.size(), QSize(size, size)) << file.toStdString();
        ++pngs;
    }
    // Nothing but the sizes above and the scalable one: a stray or misnamed
    // icon would be picked by some desktops and not by others.
    QDirIterator it(hicolor.path(), QDir::Files, QDirIterator::Subdirectories);
    int files = 0;
    while (it.hasNext()) {
        it.next();
        ++files;
    }
    EXPECT_EQ(files, pngs + 1);

    QFile svg(hicolor.filePath("scalable/apps/" + kName + ".svg"));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&svg);
    QString rootElement;
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::StartElement && rootElement.isEmpty())
            rootElement = xml.name().toString();
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(rootElement, "svg");
}

TEST_F(Package, LintianFindsNoErrorsAndNoWarnings) {
    const ProgramRun l =
        RunProgram("lintian", {"--fail-on", "error,warning", "--no-tag-display-limit", deb});
    EXPECT_EQ(l.exitCode, 0) << l.output.toStdString();
}

TEST_F(Package, ShipsEachProgramWithItsManualPage) {
    for (const char* program : {"Quorvane_for_K740_3T_TQ55_SPI", "k740-record", "k740-sim"}) {
        SCOPED_TRACE(program);
        EXPECT_TRUE(QFileInfo(Path(QStringLiteral("usr/bin/") + program)).isExecutable());
        EXPECT_TRUE(QFile::exists(Path(QStringLiteral("usr/share/man/man1/") + program + ".1.gz")));
    }
}

TEST_F(Package, UnpackedToolFindsTheSimulatedBoxAndReadsTheEncoder) {
    QTemporaryDir ports;
    SimProcess sim(ports.path(), 7, Path("usr/bin/k740-sim"));
    ASSERT_TRUE(sim.WaitReady()) << "the unpacked simulator did not start";
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("K740_SERIALCOMM_DIR", ports.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    tool.setProcessEnvironment(env);
    tool.start(Path("usr/bin/Quorvane_for_K740_3T_TQ55_SPI"), {});
    ASSERT_TRUE(tool.waitForStarted(5000));
    EXPECT_TRUE(WaitFor([&] { return sim.Commands().count("?06:006") >= 3; }, 20000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "the unpacked tool never read the encoder";
    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(5000));
    // What the log said reached standard error, where a user without the
    // window in front of them can read it.
    const QStringList said = QString::fromUtf8(tool.readAllStandardError()).split('\n');
    EXPECT_TRUE(said.contains("Interface found on COM7")) << said.join('\n').toStdString();
    EXPECT_TRUE(said.contains("Encoder found.")) << said.join('\n').toStdString();
}

}  // namespace

namespace {

// Root may write anywhere, /usr/bin included: the installed program still
// records into the documents folder, and says so.
TEST_F(Package, InstalledToolRunAsRootRecordsIntoTheDocumentsFolder) {
    Xvfb x;
    ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start";
    QTemporaryDir ports, home;
    SimProcess sim(ports.path(), 7, Path("usr/bin/k740-sim"));
    ASSERT_TRUE(sim.WaitReady());
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("K740_SERIALCOMM_DIR", ports.path());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", x.Display());
    env.insert("HOME", home.path());
    env.remove("XDG_DOCUMENTS_DIR");
    env.remove("XDG_CONFIG_HOME");
    tool.setProcessEnvironment(env);
    const QString bin = Path("usr/bin");
    tool.start(bin + "/Quorvane_for_K740_3T_TQ55_SPI", {});
    ASSERT_TRUE(tool.waitForStarted(5000));
    ASSERT_TRUE(QFileInfo(bin).isWritable());
    ASSERT_TRUE(WaitFor([&] { return sim.Commands().count("?06:006") >= 3; }, 20000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "the tool never read the encoder";
    ASSERT_FALSE(ClickRecordPositionToFile(x.Display()).isEmpty()) << "no window";

    const QRegularExpression told("^Recording to " +
                                  QRegularExpression::escape(home.filePath("Documents")) +
                                  "/POSITION_TQ55SPDxxB__\\d{14}\\.csv$");
    QString err, file;
    ASSERT_TRUE(WaitFor(
        [&] {
            err += QString::fromUtf8(tool.readAllStandardError());
            for (const QString& l : err.split('\n'))
                if (told.match(l).hasMatch()) file = l.section("Recording to ", 1);
            return !file.isEmpty();
        },
        20000, [&] { tool.waitForReadyRead(100); }))
        << "the log did not say where the recording went: " << err.toStdString();
    EXPECT_TRUE(WaitFor(
        [&] {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) && f.readAll().count("\r\n") > 3;
        },
        20000, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "no readings in " << file.toStdString();
    EXPECT_TRUE(QDir(bin).entryList({"POSITION_*"}).isEmpty()) << "a recording beside the program";
    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(5000));
}

}  // namespace
