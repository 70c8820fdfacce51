#include "platform/socket.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

// Stands in for a name server that takes its time.
QList<platform::SocketAddress> slowResolver(const QString &, quint16 port, QString *error)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    return platform::resolveTcp(QStringLiteral("127.0.0.1"), port, error);
}

} // namespace

class TestResolve : public QObject
{
    Q_OBJECT

private slots:
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

    // A stop during a slow look-up returns at once; the helper thread
    // finishes later on its own (sanitizer builds catch it touching freed
    // state).
    void stopDuringSlowLookup()
    {
        std::atomic<bool> running{true};
        platform::Waker waker;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            running.store(false);
            waker.wake();
        });
        QElapsedTimer clock;
        clock.start();
        bool cancelled = false;
        QString error;
        const auto addresses = platform::resolveTcpCancellable(QStringLiteral("slow.example"), 23, &running, &waker,
                                                               &error, &cancelled, slowResolver);
        const qint64 took = clock.elapsed();
        stopper.join();
        QVERIFY(cancelled);
        QVERIFY(addresses.isEmpty());
        QVERIFY2(took < 500, qPrintable(QString::number(took)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // let the helper finish
    }

    // Bytes queued before the link is up fire the waker; that is no stop.
    void wakeWithoutStopKeepsWaiting()
    {
        std::atomic<bool> running{true};
        platform::Waker waker;
        waker.wake();
        bool cancelled = true;
        const auto addresses = platform::resolveTcpCancellable(QStringLiteral("slow.example"), 23, &running, &waker,
                                                               nullptr, &cancelled, slowResolver);
        QVERIFY(!cancelled);
        QCOMPARE(addresses.size(), 1);
        QCOMPARE(addresses.first().text(), QStringLiteral("127.0.0.1:23"));
    }
};

QTEST_GUILESS_MAIN(TestResolve)
#include "tst_resolve.moc"
