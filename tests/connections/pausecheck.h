#pragma once

// Shared by the transports' tests: a consumer that cannot keep up pauses the
// connection's reading.

#include "connections/connection.h"

#include <QTest>

#include <functional>

namespace pausecheck {

// What may still arrive once reading is paused: the bytes already on their
// way to this thread (a quarter MiB and one read), with room to spare.
constexpr qint64 kAllowance = 1024 * 1024;

// Pauses c's reading at the first bytes it delivers, while the producer has
// many times the allowance to give: however long the pause, no more than the
// allowance may follow. Then resumes and waits for `done` (everything arrived).
inline void pauseAtFirstBytes(Connection &c, const std::function<qint64()> &received,
                              const std::function<bool()> &done)
{
    qint64 atPause = -1;
    const QMetaObject::Connection hook = QObject::connect(&c, &Connection::dataReceived, &c, [&] {
        if (atPause < 0) {
            atPause = received();
            c.setReadPaused(true);
        }
    });
    const bool started = QTest::qWaitFor([&] { return atPause >= 0; }, 30000);
    QObject::disconnect(hook);
    QVERIFY2(started, "the producer sent nothing");
    QTest::qWait(500); // the pause itself is under test
    const qint64 extra = received() - atPause;
    QVERIFY2(extra <= kAllowance && !done(), qPrintable(QStringLiteral("%1 bytes came while paused").arg(extra)));
    c.setReadPaused(false);
    QVERIFY2(QTest::qWaitFor(done, 120000), qPrintable(QStringLiteral("%1 bytes after resuming").arg(received())));
}

} // namespace pausecheck
