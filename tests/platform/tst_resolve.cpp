#include "platform/socket.h"

#include <QTest>

#include <atomic>
#include <future>
#include <thread>

// A name server the test drives: a look-up announces itself and answers once the test opens the
// gate; its helper thread announces its exit (a thread-local dies after all the thread held).
struct Gate { std::promise<void> entered, open, gone; std::shared_future<void> opened = open.get_future().share(); };
static Gate *gate = nullptr;
constexpr auto kBound = std::chrono::seconds(20);
struct ExitNotice { ~ExitNotice() { gate->gone.set_value(); } };

static QList<platform::SocketAddress> gatedResolver(const QString &, quint16 port, platform::ResolveError *error)
{
    [[maybe_unused]] thread_local ExitNotice notice;
    gate->entered.set_value();
    gate->opened.wait_for(kBound);
    return platform::resolveTcp(QStringLiteral("127.0.0.1"), port, error);
}

static bool arrives(std::future<void> &f) { return f.wait_for(kBound) == std::future_status::ready; }

class TestResolve : public QObject
{
    Q_OBJECT

private slots:
    // A stop during a look-up that never ends by itself returns while the gate is still shut; the
    // helper thread finishes later on its own (sanitizer builds catch it touching freed state).
    // Bytes queued before the link is up fire the waker: no stop.
    void resolve_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("text"); // of the first address; empty when cancelled
        QTest::newRow("numeric ::1, no gate") << "" << "[::1]:23";
        QTest::newRow("stop during a slow look-up") << "stop" << "";
        QTest::newRow("wake without stop keeps waiting") << "wake" << "127.0.0.1:23";
    }

    void resolve()
    {
        QFETCH(QString, action);
        const bool cancel = action == "stop";
        Gate g;
        gate = &g;
        std::future<void> entered = g.entered.get_future(), gone = g.gone.get_future();
        std::atomic<bool> running{true};
        platform::Waker waker;
        if (action == "wake")
            waker.wake();
        std::thread helper([&] {
            if (action.isEmpty() || !arrives(entered))
                return;
            if (action == "wake")
                return g.open.set_value();
            running.store(false);
            waker.wake();
        });
        bool cancelled = !cancel;
        platform::ResolveError error;
        const auto addresses = platform::resolveTcpCancellable(action.isEmpty() ? "::1" : "slow.example", 23, &running, &waker,
                                                               &error, &cancelled, action.isEmpty() ? platform::resolveTcp : gatedResolver);
        helper.join();
        QCOMPARE(cancelled, cancel);
        QTEST(addresses.isEmpty() ? QString() : addresses.first().text(), "text");
        if (cancel) {
            QVERIFY(g.opened.wait_for(std::chrono::seconds(0)) != std::future_status::ready);
            g.open.set_value();
        }
        QVERIFY(action.isEmpty() || arrives(gone));
    }
};

QTEST_GUILESS_MAIN(TestResolve)
#include "tst_resolve.moc"
