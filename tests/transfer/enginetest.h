#pragma once

// What the byte-level tests of the in-band transfer engines share: an engine
// whose packets are recorded and whose reports are kept, with time passed by
// hand, a folder of its own, and the few file helpers they use.

#include "transfer/inbandtransfer.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

inline QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

template <typename Transfer>
struct EngineHarness {
    QTemporaryDir dir;
    QList<QByteArray> sent; // each call of the send function
    QStringList statuses;
    int finished = 0;
    bool ok = false;
    QString summary = QStringLiteral("<running>");
    Transfer transfer; // last: its destructor may still send and report

    EngineHarness()
    {
        QObject::connect(&transfer, &InbandTransfer::statusMessage,
                         [this](const QString &, const QString &text) { statuses << text; });
        QObject::connect(&transfer, &InbandTransfer::transferFinished,
                         [this](const QString &, bool good, const QString &text) {
                             ++finished;
                             ok = good;
                             summary = text;
                         });
    }
    TransferSendFn fn()
    {
        return [this](const QByteArray &b) { sent << b; };
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    QString file(const QString &name, const QByteArray &bytes) { return writeFile(path(name), bytes); }
    QByteArray read(const QString &name) const { return readFile(path(name)); }
    QStringList files() const { return filesIn(dir.path()); }
    // A receive into the folder (or the named file in it), what it sent at the start dropped.
    void receive(int variant = 0, const QString &name = QString())
    {
        transfer.startReceive(fn(), QStringLiteral("r"), name.isEmpty() ? dir.path() : path(name), variant);
        sent.clear();
    }
    void send(const QStringList &paths, int variant = 0) { transfer.startSend(fn(), QStringLiteral("s"), paths, variant); }
    QByteArray wire() const { return sent.join(); }
    QByteArray takeWire()
    {
        const QByteArray w = wire();
        sent.clear();
        return w;
    }
    void feedEach(const QByteArray &bytes)
    {
        for (const char c : bytes)
            transfer.feed(QByteArray(1, c));
    }
    void tick(int n = 1)
    {
        while (n-- > 0)
            transfer.tick();
    }
};
