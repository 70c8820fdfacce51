#pragma once

// A data-driven test whose rows each play a case on a fresh T: `check`
// answers what it saw as text, compared with the row's `expected`.
#include <QTest>

#include <functional>

template <class T>
struct CheckTable {
    using Check = std::function<QString(T &)>;
    static void columns()
    {
        QTest::addColumn<Check>("check");
        QTest::addColumn<QString>("expected");
    }
    static void row(const char *tag, Check check, const char *expected)
    {
        QTest::newRow(tag) << check << QString::fromUtf8(expected);
    }
    static void run()
    {
        QFETCH(Check, check);
        T fixture;
        QTEST(check(fixture), "expected");
    }
};
