#pragma once

// The session layer's tests without a window: a fake connection, transfer
// and view, and one open session on them.
#include "connections/connection.h"
#include "core/sessionlogger.h"
#include "mainwindow/opensession.h"
#include "transfer/inbandtransfer.h"
#include "tests/support/testfiles.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

// Counts the living ones: a session must release every connection it took.
struct FakeConnection : Connection {
    static inline int alive = 0;
    FakeConnection() { ++alive; }
    ~FakeConnection() override { --alive; }
    bool open() override { return opened = true; }
    void close() override { opened = false; }
    void write(const QByteArray &data) override { written += data; }
    bool isOpen() const override { return opened; }
    void resize(int, int) override {}
    void setTransparent(bool on) override { transparent = on; }
    void discardQueued() override { ++discarded; }
    bool opened = true;
    int discarded = 0;
    bool transparent = false;
    QByteArray written;
};

// The fake peer's first valid frame is "START", its last "END", its cancel
// "GONE"; `fed` is everything the session handed it.
struct FakeTransfer : InbandTransfer {
    void startSend(TransferSendFn, const QString &id, const QStringList &, int) override { start(id); }
    void startReceive(TransferSendFn, const QString &id, const QString &, int) override { start(id); }
    void feed(const QByteArray &data) override
    {
        fed += data;
        if (data.contains("START"))
            markPeerStarted();
        if (data.contains("END"))
            announceEnd(QStringLiteral("done"), QString());
        if (const qsizetype gone = data.indexOf("GONE"); gone >= 0) { // the peer gave up; the rest is the host's
            m_unconsumed = data.mid(gone + 4);
            announceEnd(QStringLiteral("gone"), QStringLiteral("gone"));
        }
    }
    void onTick() override {}
    void cancelTransfer() override { announceEnd(QStringLiteral("cancelled"), QStringLiteral("cancelled")); }
    void hostLineOpening() override { fed += "<open>"; }
    void askPeer() override { fed += "<ask>"; }
    void start(const QString &id) { beginRun({}, id, 1, false); }
    QByteArray fed;
};

// `shown` is the tab's stream as drawn, each status line in it as
// "<html>" where it came; `lines` the status lines alone.
struct FakeView : SessionView {
    void showData(const QString &, const QByteArray &bytes) override { shown += bytes; }
    void showLine(const QString &, const QString &html) override
    {
        shown += "<" + html.toUtf8() + ">";
        lines << html;
    }
    void showState(const QString &, const QString &state) override { states << state; }
    void beginConnection(const QString &) override {}
    QByteArray shown;
    QStringList lines, states;
};

// Past a cancelled run's quiet. QTest::qWait can end on a sleep that overran
// its deadline on a busy machine, the quiet's timer, due long before, not yet
// run: the events are taken once more.
inline void waitOutQuiet()
{
    QTest::qWait(OpenSession::kQuietAfterCancelMs + 200);
    QCoreApplication::processEvents();
}

// One session whose connection reports "connected" and a peer's close but
// has not reported yet, files in `dir`, an idle transfer.
struct Rig {
    QTemporaryDir dir;
    FakeView view;
    OpenSession session{{"s1", "s1", "telnet"}, &view};
    FakeConnection *conn = new FakeConnection;
    FakeTransfer transfer;
    int reopens = 0;
    Rig()
    {
        session.adopt(conn, {[] { return QStringLiteral("up"); }, [] { return QStringLiteral("closed"); }});
        QObject::connect(&session, &OpenSession::reopenRequested, [this] { ++reopens; });
    }
    void receive(const QByteArray &bytes) { emit conn->dataReceived(bytes); }
    void runTransfer(bool binary)
    {
        session.handOver(&transfer, binary);
        transfer.startReceive({}, session.id(), QString(), 0);
    }
    SessionLogger *log()
    {
        SessionLogOptions options;
        options.dir = dir.path();
        auto *logger = new SessionLogger("s1", "h", options);
        logger->start();
        session.setLogger(logger);
        return logger;
    }
    QByteArray logged(QPointer<SessionLogger> logger) // the file, once the logger has gone
    {
        const QString path = logger->currentPath();
        session.stopLogger();
        return readFile(path);
    }
};
