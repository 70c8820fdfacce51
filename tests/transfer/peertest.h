#pragma once

// What the tests against lrzsz share: the direction under test, scratch
// folders, files on disk and a plan for one run.

#include "bench/xfer_peer/peerrun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>

namespace peertest {

// HV_XFER_DIRECTION: "send" (we send, the default) or "receive".
inline bool weSend()
{
    return qgetenv("HV_XFER_DIRECTION") != "receive";
}

inline QString makeFile(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A source folder for the files to send and a target folder that the
// receiving side (ours or the peer) writes into.
struct Folders {
    QTemporaryDir root;
    QString source, target;
    Folders()
    {
        QDir(root.path()).mkdir(QStringLiteral("source"));
        QDir(root.path()).mkdir(QStringLiteral("target"));
        source = root.filePath(QStringLiteral("source"));
        target = root.filePath(QStringLiteral("target"));
    }
    QStringList targetEntries() const
    {
        return QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    PeerRunPlan plan(const QString &protocol, const QStringList &files, PeerLink link) const
    {
        PeerRunPlan s;
        s.protocol = protocol;
        s.send = weSend();
        s.files = files;
        s.receiveDir = target;
        s.peerDir = target;
        s.link = link;
        s.timeoutMs = 60000;
        return s;
    }
};

} // namespace peertest
