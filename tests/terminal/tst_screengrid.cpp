#include "termtest.h"

#include <QTest>

using termtest::esc;
using termtest::screenText;

class TestScreenGrid : public QObject
{
    Q_OBJECT

private slots:
    // Bytes in, screen and cursor out, on a 10 x 4 grid (more in the comparison with libvterm).
    void screens_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("wide dropped without autowrap") << esc("\e[?7l012345678中") << "012345678 @0,9";
        QTest::newRow("non-ASCII ends a CSI") << esc("a\e[2中Cb") << "aCb @0,3";
        QTest::newRow("CUU stops at region top") << esc("\e[2;3r\e[3;1H\e[30Ax") << "|x @1,1";
        QTest::newRow("CUU above region goes to 0") << esc("\e[2;3r\e[1;1H\e[30Ax") << "x @0,1";
        QTest::newRow("bad regions ignored") << esc("\e[3;1H\e[3;2r\e[2;2r\e[1;9rx") << "||x @2,1";
        QTest::newRow("full reset") << esc("ab\e[?7l\e[31m\ecxy") << "xy @0,2";
        QTest::newRow("1049 h blanks, keeps cursor") << esc("abc\e[?1049hx") << "   x @0,4";
        QTest::newRow("private prefix ignored for r") << esc("\e[?2;3r\e[4;1H\nx") << "|||x @3,1";
        QTest::newRow("selective erase (CSI ? K) as EL") << esc("abcd\e[2D\e[?1K") << "   d @0,2";
        QTest::newRow("other prefixes ignored for J") << esc("ab\e[>2J\e[=2J\e[<2J") << "ab @0,2";
        QTest::newRow("other prefixes ignored for K") << esc("ab\e[2D\e[>K\e[=2K") << "ab @0,0";
    }
    void screens()
    {
        QFETCH(QString, input);
        ScreenGrid g(10, 4);
        g.feed(input);
        QTEST(screenText(g), "expected");
    }

    // Rows reported changed after a clean screen "a|b|c|d": the view
    // rewrites only those.
    void changedRows_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("rows");
        QTest::newRow("print") << esc("\e[2;3Hx") << "1";
        QTest::newRow("wrap into the next row") << esc("\e[1;10Hxy") << "01";
        QTest::newRow("LF at the bottom") << esc("\e[4;1H\n") << "0123";
        QTest::newRow("wide character") << esc("\e[4;1H中") << "3";
    }
    void changedRows()
    {
        QFETCH(QString, input);
        ScreenGrid g(10, 4);
        g.feed(esc("a\r\nb\r\nc\r\nd"));
        g.clearDirty();
        g.feed(input);
        QString changed;
        for (int r = 0; r < 4; ++r)
            changed += g.rowChanged(r) ? QString::number(r) : QString();
        QTEST(changed, "rows");
    }

    // Rows that go on with the row above, as '+' per row on a 10 x 4 grid:
    // Copy and Find join them into one line.
    void continuedRows_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("continued");
        const QString ten = QStringLiteral("0123456789");
        QTest::newRow("wrap at the margin") << ten + ten + "x" << ".++.";
        QTest::newRow("a full row alone does not wrap") << ten << "....";
        // A pager writes one blank past the margin and backs up over it.
        QTest::newRow("blank past the margin, BS") << ten + " \b" + ten << ".+..";
        // An editor moves to the next row itself.
        QTest::newRow("next row by a move") << ten + esc("\e[2;1H") + ten << "....";
        QTest::newRow("CR LF before the next row") << ten + "\r\n" + ten << "....";
        QTest::newRow("no wrap without autowrap") << esc("\e[?7l") + ten + "x" << "....";
        QTest::newRow("wide character pushed to the next row") << QStringLiteral("012345678中") << ".+..";
        QTest::newRow("the mark scrolls with its row") << ten + "x" + esc("\e[4;1H\n") << "+...";
        // Rows that another row now stands above go on from nothing.
        QTest::newRow("scrolled off the region's top") << esc("\e[2;4r\e[2;1H") + ten + "x" + esc("\e[4;1H\n") << "....";
        QTest::newRow("scrolled below a region") << ten + ten + "x" + esc("\e[1;2r\e[2;1H\n") << "+...";
        QTest::newRow("reverse index at the region's top") << ten + "x" + esc("\e[2;4r\e[2;1H\eM") << "....";
        QTest::newRow("wrap on the last row below a region") << esc("\e[1;3r\e[4;1H") + ten + "x" << "....";
        QTest::newRow("a continued last row below a region wraps again") << esc("\e[1;2r\e[3;1H") + ten + ten + "x" << "...+";
        QTest::newRow("reverse index moves it down") << ten + "x" + esc("\e[1;1H\eM") << "..+.";
        QTest::newRow("erase of the whole row") << ten + "x" + esc("\e[2K") << "....";
        QTest::newRow("erase of part of the row") << ten + "xyz" + esc("\e[1K") << ".+..";
        QTest::newRow("blanks before the wrap") << QStringLiteral("0123      x") << ".+..";
        QTest::newRow("blanks erased before the wrap") << ten + "x" + esc("\e[1;5H\e[K") << ".+..";
        QTest::newRow("erase of the row above") << ten + "x" + esc("\e[1;1H\e[2K") << "....";
        QTest::newRow("erase of the screen") << ten + "x" + esc("\e[2J") << "....";
        QTest::newRow("erase below") << ten + ten + "x" + esc("\e[2;1H\e[J") << "....";
        QTest::newRow("delete line") << ten + ten + "x" + esc("\e[2;1H\e[M") << "....";
        QTest::newRow("insert line") << ten + "x" + esc("\e[1;1H\e[L") << "..+.";
        QTest::newRow("insert line between the rows") << ten + "x" + esc("\e[2;1H\e[L") << "....";
        QTest::newRow("full reset") << ten + "x" + esc("\ec") << "....";
    }
    void continuedRows()
    {
        QFETCH(QString, input);
        ScreenGrid g(10, 4);
        g.feed(input);
        QString continued;
        for (int r = 0; r < 4; ++r)
            continued += g.rowContinues(r) ? u'+' : u'.';
        QTEST(continued, "continued");
        // A row that the next one continues keeps its trailing blanks: they
        // are part of the line.
        for (int r = 0; r + 1 < 4; ++r)
            QCOMPARE(g.rowText(r).size() == 10, g.rowContinues(r + 1) || g.rowText(r).trimmed().size() == 10);
        // An erase of the screen and a new size start every row afresh.
        g.feed(QStringLiteral("0123456789x"));
        g.feed(esc("\e[2J"));
        QVERIFY(!g.rowContinues(g.cursorRow));
        g.feed(QStringLiteral("0123456789x"));
        g.resize(12, 4);
        QVERIFY(!g.rowContinues(g.cursorRow));
    }

    void replies_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("DSR 6") << esc("\e[3;10H\e[6n") << QByteArray("\x1b[3;10R");
        QTest::newRow("DA") << esc("\e[c") << QByteArray("\x1b[?1;2c");
        QTest::newRow("private DSR ignored") << esc("\e[?6n") << QByteArray();
        QTest::newRow("CSI = c answers as DA") << esc("\e[=c") << QByteArray("\x1b[?1;2c");
        QTest::newRow("CSI = 1 c ignored") << esc("\e[=1c") << QByteArray();
        QTest::newRow("CSI < c ignored") << esc("\e[<c") << QByteArray();
    }
    void replies()
    {
        QFETCH(QString, input);
        ScreenGrid g(80, 24);
        QByteArray got;
        g.reply = [&](const QByteArray &b) { got += b; };
        g.feed(input);
        QTEST(got, "reply");
        ScreenGrid(80, 24).feed(input); // no callback: nothing to crash on
    }

    // Input in, then cursor-key mode, keypad mode, bracketed paste and a
    // visible cursor as 1 or 0: the keypad's ESC = / ESC > never touch the
    // cursor keys (mc sends ESC > after each title it sets).
    void modes()
    {
        ScreenGrid g(80, 24);
        const std::pair<const char *, const char *> steps[] = {
            {"\e[?1h\e[?2004h\e[?25l", "1010"}, {"\e=", "1110"}, {"\e]0;mc title\a\e>", "1010"},
            {"\e[?1l\e=\e[?2004l\e[?25h", "0101"}, {"\e[!p", "0101"}, // an intermediate: nothing
            {"\e[?1h\ec", "0001"}};
        for (const auto &[input, expected] : steps) {
            g.feed(esc(input));
            QVERIFY2(QStringLiteral("%1%2%3%4").arg(g.inputModes().appCursorKeys).arg(g.inputModes().appKeypad).arg(g.inputModes().bracketedPaste).arg(g.cursorVisible) == expected,
                     input);
        }
    }

    // Leaving the alternate screen hands the rest of the text back; 1049
    // restores the cursor, 47 does not.
    void leavingAltScreen()
    {
        ScreenGrid g(80, 24);
        g.feed(esc("\e[5;5H\e[?1049h\e[10;10H"));
        QCOMPARE(g.feed(esc("x\e[?1049l$ prompt")), QStringLiteral("$ prompt"));
        QVERIFY(g.leftAltScreen && g.cursorRow == 4);
        g.feed(esc("a"));
        QVERIFY(!g.leftAltScreen);
        g.feed(esc("\e[?47h\e[10;10H"));
        QVERIFY(g.feed(esc("\e[?47l")).isEmpty() && g.leftAltScreen && g.cursorRow == 9);
    }

    // Beyond the libvterm comparison: an out-of-range component gives no
    // colour and its parameters are used up; colon forms are taken; dim
    // (which libvterm drops) survives bold; a row keeps blanks that carry a background.
    void sgr()
    {
        ScreenGrid g(10, 4);
        g.feed(esc("\e[0;2;1;38;2;300;0;0mq\e[0m\e[38;2;1;2;3:4m\e[38:5:21mw"));
        const TextAttributes &q = g.cellAt(0, 0).attributes;
        QVERIFY(q.flags == (TextAttributes::Bold | TextAttributes::Dim) && q.foreground == 0);
        QCOMPARE(cellFormat(q).fontWeight(), 300);
        QCOMPARE(g.cellAt(0, 1).attributes.foreground, qRgb(0, 0, 255));
        g.feed(esc("\e[44m\e[2J"));
        QCOMPARE(g.rowText(0).size(), 10);
        g.feed(esc("\e[0m\e[>4;2m")); // key modifier options, not underline and dim
        QCOMPARE(g.attrs.flags, quint8(0));
    }

    // The overlap stays at the top left; a restore after a shrink lands
    // inside the new screen.
    void resize()
    {
        ScreenGrid g(4, 3);
        g.feed(esc("abcd\r\nefgh\r\nij\e7kl"));
        g.resize(3, 2);
        QCOMPARE(screenText(g), QStringLiteral("abc|efg @1,2"));
        g.resize(5, 4);
        QCOMPARE(screenText(g), QStringLiteral("abc|efg @1,2"));
        QCOMPARE(g.scrollBottom, 3);
        g.feed(esc("\e8x"));
        QCOMPARE(screenText(g), QStringLiteral("abc|efx @1,3"));
        g.resize(1, 1000);
        QCOMPARE(QSize(g.columnCount(), g.rowCount()), QSize(2, 256));
    }

    void wideCharacters()
    {
        ScreenGrid g(10, 2);
        g.feed(QStringLiteral("a中\U0001F600b"));
        QCOMPARE(g.rowText(0), QStringLiteral("a中\U0001F600b"));
        QCOMPARE(g.cursorCol, 6);
        QCOMPARE(QList<int>({g.textOffset(0, 3), g.textOffset(0, 5)}), QList<int>({2, 4}));
        g.feed(QString(QChar(0xDC00))); // a lone low surrogate writes nothing
        QCOMPARE(g.cursorCol, 6);
    }

    // Numbers and parameter lists of any length stay bounded (strings:
    // see the line-mode tests, which drive both renderers).
    void longSequencesAreBounded()
    {
        ScreenGrid g(1024, 16);
        g.feed(esc("\e[") + QString(20000, u'1') + QStringLiteral("Cx"));
        QCOMPARE(screenText(g), QString(1023, u' ') + QStringLiteral("x @0,1023"));
        g.feed(esc("\e[") + QStringLiteral("1;").repeated(3000) + QStringLiteral("m"));
        QCOMPARE(g.attrs.flags, quint8(TextAttributes::Bold));
    }
};

QTEST_GUILESS_MAIN(TestScreenGrid)
#include "tst_screengrid.moc"
