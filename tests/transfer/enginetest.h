#pragma once

// What the byte-level tests of the in-band transfer engines share: an engine
// whose packets are recorded and whose reports are kept, with time passed by
// hand, and a folder of its own.

#include "tests/support/testfiles.h"
#include "transfer/inbandtransfer.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

template <typename Transfer>
struct EngineHarness {
    QTemporaryDir dir;
    QList<QByteArray> sent; // each call of the send function
    QStringList statuses;
    int finished = 0;
    bool ok = false;
    QString summary = QStringLiteral("<running>");
    QByteArray left; // for the screen, taken when the end is told, as the session takes it
    QByteArray shown; // the host's lines drawn amid the run
    Transfer transfer; // last: its destructor may still send and report

    EngineHarness()
    {
        QObject::connect(&transfer, &InbandTransfer::statusMessage,
                         [this](const QString &, const QString &text) { statuses << text; });
        QObject::connect(&transfer, &InbandTransfer::resultReady, [this] { left = transfer.takeUnconsumed(); });
        QObject::connect(&transfer, &InbandTransfer::hostTextShown, [this](const QByteArray &b) { shown += b; });
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
    QString file(const QString &name, const QByteArray &bytes) { return writeFile(path(name), bytes) ? path(name) : QString(); }
    QByteArray read(const QString &name) const { return readFile(path(name)); }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
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
