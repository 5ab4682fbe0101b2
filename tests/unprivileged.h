// Running things as user nobody (65534): the tests run as root, who passes
// every permission check, so permissions are only tested as someone else.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// setpriv's arguments that make the rest of a command line run as nobody,
// without root's groups.
inline QStringList AsNobodyArgs() {
    return {"--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

// Why nobody cannot reach `path`, or empty when it can. On a normal machine
// every folder up to /tmp is open to all users; a chroot whose root folder is
// private to root (one made in a mktemp folder) keeps nobody out of every
// path, and no test as nobody can run there.
inline QString WhyNobodyCannotReach(const QString& path) {
    QProcess p;
    p.start("setpriv", AsNobodyArgs() + QStringList{"/bin/sh", "-c", "test -x \"$0\"", path});
    if (p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return {};
    return "user nobody cannot reach " + path +
           " here (is the file system root private to root, as in a chroot made in a mktemp "
           "folder?)";
}

// Opens a temporary folder of root's to all users, as a real installation's
// folders are.
inline bool OpenToAll(const QTemporaryDir& dir) {
    return QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                 QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                 QFileDevice::ExeOther);
}

// A copy of `program` in `dir` (opened to all users) that nobody may run: the
// build tree may lie in a folder private to root, such as a clone in /root.
inline QString CopyForNobody(const QString& program, const QTemporaryDir& dir) {
    const QString copy = QDir(dir.path()).filePath(QFileInfo(program).fileName());
    if (!OpenToAll(dir) || !QFile::copy(program, copy)) return {};
    QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                    QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);
    return copy;
}
