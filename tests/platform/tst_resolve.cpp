#include "platform/socket.h"

#include <QTest>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace {

// A name server the test drives: a look-up announces itself and answers once
// the test opens the gate; its helper thread announces its exit (a
// thread-local object dies only after the thread's function and all it held).
struct Gate {
    std::promise<void> entered, open, gone;
    std::shared_future<void> opened = open.get_future().share();
};
Gate *gate = nullptr;
constexpr auto kBound = std::chrono::seconds(20);

struct ExitNotice {
    ~ExitNotice() { gate->gone.set_value(); }
};

QList<platform::SocketAddress> gatedResolver(const QString &, quint16 port, QString *error)
{
    thread_local ExitNotice notice;
    (void)notice;
    gate->entered.set_value();
    gate->opened.wait_for(kBound);
    return platform::resolveTcp(QStringLiteral("127.0.0.1"), port, error);
}

bool arrives(std::future<void> &f) { return f.wait_for(kBound) == std::future_status::ready; }

} // namespace

class TestResolve : public QObject
{
    Q_OBJECT

    std::unique_ptr<Gate> m_gate;
    std::future<void> m_entered, m_gone;

private slots:
    void init()
    {
        m_gate = std::make_unique<Gate>();
        gate = m_gate.get();
        m_entered = m_gate->entered.get_future();
        m_gone = m_gate->gone.get_future();
    }

    void numericAddresses_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("text");
        QTest::newRow("IPv4") << "127.0.0.1" << "127.0.0.1:23";
        QTest::newRow("IPv6") << "::1" << "[::1]:23";
    }

    void numericAddresses()
    {
        QFETCH(QString, host);
        QFETCH(QString, text);
        std::atomic<bool> running{true};
        platform::Waker waker;
        bool cancelled = true;
        const auto addresses = platform::resolveTcpCancellable(host, 23, &running, &waker, nullptr, &cancelled);
        QVERIFY(!cancelled);
        QVERIFY(!addresses.isEmpty());
        QCOMPARE(addresses.first().text(), text);
    }

    // A stop during a look-up that never ends by itself returns: the gate is
    // still shut when the call is back. The helper thread finishes later on
    // its own (sanitizer builds catch it touching freed state).
    void stopDuringSlowLookup()
    {
        std::atomic<bool> running{true};
        platform::Waker waker;
        std::thread stopper([&] {
            arrives(m_entered);
            running.store(false);
            waker.wake();
        });
        bool cancelled = false;
        QString error;
        const auto addresses = platform::resolveTcpCancellable(QStringLiteral("slow.example"), 23, &running, &waker,
                                                               &error, &cancelled, gatedResolver);
        stopper.join();
        QVERIFY(cancelled);
        QVERIFY(addresses.isEmpty());
        QVERIFY(m_gate->opened.wait_for(std::chrono::seconds(0)) != std::future_status::ready);
        m_gate->open.set_value();
        QVERIFY(arrives(m_gone));
    }

    // Bytes queued before the link is up fire the waker; that is no stop.
    void wakeWithoutStopKeepsWaiting()
    {
        std::atomic<bool> running{true};
        platform::Waker waker;
        waker.wake();
        std::thread opener([&] {
            arrives(m_entered);
            m_gate->open.set_value();
        });
        bool cancelled = true;
        const auto addresses = platform::resolveTcpCancellable(QStringLiteral("slow.example"), 23, &running, &waker,
                                                               nullptr, &cancelled, gatedResolver);
        opener.join();
        QVERIFY(!cancelled);
        QCOMPARE(addresses.size(), 1);
        QCOMPARE(addresses.first().text(), QStringLiteral("127.0.0.1:23"));
        QVERIFY(arrives(m_gone));
    }
};

QTEST_GUILESS_MAIN(TestResolve)
#include "tst_resolve.moc"
