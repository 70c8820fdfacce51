#include "termtest.h"

#include "terminal/highlight.h"
#include "terminal/palette.h"
#include "terminal/terminalengine.h"
#include "terminal/wrappedlines.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

using termtest::esc;

namespace {

struct Terminal
{
    QTextDocument doc;
    TerminalEngine engine{&doc};
    LineRenderer &r = engine.lineRenderer();

    // 0 columns: rows grow without limit.
    explicit Terminal(int columns = 0)
    {
        if (columns > 0)
            engine.setTerminalSize(columns, 5);
    }
    // Chunks separated by "|" go in as separate calls; one that starts with
    // "<" is a status line in HTML. "{N}" makes the terminal N columns wide.
    void feed(const QString &chunks)
    {
        static const QRegularExpression resize(QStringLiteral("\\{(\\d+)\\}"));
        for (const QString &c : chunks.split(u'|')) {
            if (c.startsWith(u'<')) {
                engine.appendHtml(c);
                continue;
            }
            int at = 0;
            for (auto m = resize.globalMatch(c); m.hasNext();) {
                const auto hit = m.next();
                engine.receiveText(c.mid(at, hit.capturedStart() - at));
                engine.setTerminalSize(hit.captured(1).toInt(), 5);
                at = int(hit.capturedEnd());
            }
            engine.receiveText(c.mid(at));
        }
    }
    QString text() const { return doc.toPlainText(); }
    QTextCharFormat formatAt(int position) const
    {
        QTextCursor c(const_cast<QTextDocument *>(&doc));
        c.setPosition(position + 1);
        return c.charFormat();
    }
    // The last n rows (all: -1), "~" before one that continues the line
    // above and "|" before one that starts a line (none before the first).
    QString lastRows(int n = -1) const
    {
        QString out;
        const int first = n < 0 ? 0 : doc.blockCount() - n;
        for (QTextBlock b = doc.findBlockByNumber(first); b.isValid(); b = b.next())
            out += (b.blockNumber() == 0 ? QString() : wrappedlines::continuesAbove(b) ? QStringLiteral("~") : QStringLiteral("|")) + b.text();
        return out;
    }
    // The rows, then the cursor as " @rows back,column".
    QString rows() const { return lastRows() + QStringLiteral(" @%1,%2").arg(r.rowBack).arg(r.col); }
};

} // namespace

class TestLineTerminal : public QObject
{
    Q_OBJECT

private slots:
    void lineMode_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected"); // the document, then " @rows back,column"
        QTest::newRow("CR CR LF split") << esc("abc\r|\r|\ndef") << "abc\ndef @0,4";
        QTest::newRow("lone CR erases") << esc("abcdef\rXY") << "XY @0,3";
        QTest::newRow("tab to the next stop") << esc("ab\tc\e[31m\tX") << "ab      c       X @0,18";
        QTest::newRow("tab after a wide character") << esc("中文字符\tx") << "中文字符        x @0,18";
        QTest::newRow("OSC then prompt") << esc("\e]0;title\a$ ") << "$  @0,3";
        QTest::newRow("CR inside CSI acts") << esc("abc\e[\r2Cx") << "abx @0,4";
        QTest::newRow("CR before a move keeps the row") << esc("$ junk\r\e[2C\e[K") << "$  @0,3";
        QTest::newRow("ICH") << esc("$ echo AB\r\e[2C\e[1@Q") << "$ Qecho AB @0,4";
        QTest::newRow("DCH") << esc("echo abcdef\e[4D\e[1P") << "echo abdef @0,8";
        QTest::newRow("DCH past the end") << esc("abc\e[2D\e[9P") << "a @0,2";
        QTest::newRow("CHA back deletes") << esc("abc\e[1G") << " @0,1";
        QTest::newRow("CUP column clamp") << esc("\e[1;5000H") << QString(1023, u' ') + QStringLiteral(" @0,1024");
        QTest::newRow("ECH") << esc("abcdef\e[5D\e[3X") << "a   ef @0,2";
        QTest::newRow("CUU bounded by 256") << QStringLiteral("x\r\n").repeated(1000) + esc("\e[300A")
                                            << QStringLiteral("x\n").repeated(1000) + QStringLiteral(" @256,1");
        QTest::newRow("ED 2") << esc("abc\r\ndef\e[2Jx") << "x @0,2";
        QTest::newRow("BEL VT FF SO dropped") << esc("a\a\v\f\x0e\x0f" "b") << "ab @0,3";
        QTest::newRow("wide columns") << esc("中文x\e[3D!") << "中! x @0,4";
        QTest::newRow("wide row, edit near the end") << esc("中文字符\b\bx") << "中文字x  @0,8";
        QTest::newRow("wide row, edit near the start") << esc("中文字符\e[7Dy") << " y文字符 @0,3";
        QTest::newRow("back over a surrogate pair") << esc("abcdefgh😀\b\b\bZ") << "abcdefgZ😀 @0,9";
        // Sequences the renderer does not implement are dropped whole.
        QTest::newRow("ESC ( B, CSI > m, private reset") << esc("a\e(B\e[>4;2m\e[?1049l\e[?25lb") << "ab @0,3";
        QTest::newRow("status line after a prompt") << "$ |<span style='color:#ff6b6b'>⚠ gone</span>|next" << "$ \n⚠ gone\nnext @0,5";
        // A transfer's lines after the host moved its cursor up: what the
        // host says next comes after them, where the cursor is drawn.
        QTest::newRow("status lines after a cursor up") << esc("one\r\ntwo\r\n\e[1A|<b>st1</b>|<b>st2</b>|X") << "one\ntwo\nst1\nst2\nX @0,2";
        QTest::newRow("many switches in one text") << esc("\e[?1049hx\e[?1049l").repeated(5000) + QStringLiteral("end") << "end @0,4";
    }
    void lineMode()
    {
        QFETCH(QString, input);
        Terminal t;
        t.feed(input);
        QTEST(t.text() + QStringLiteral(" @%1,%2").arg(t.r.rowBack).arg(t.r.col), "expected");
    }

    // Text after an SGR takes the new pen (the codes are checked on the grid);
    // a highlighted keyword takes its colour and keeps the rest of the pen;
    // of overlapping keywords the one that starts first wins, whatever the
    // rules' order; a broken expression spoils no other rule.
    void pens()
    {
        Terminal t;
        TerminalSettings settings;
        const QString sub = QStringLiteral("子串"), re = QStringLiteral("正则");
        settings.highlightRules = {{QStringLiteral("rr"), sub, QStringLiteral("#00ff00"), {}}, {QStringLiteral("("), re, QStringLiteral("#ffff00"), {}},
                                   {QStringLiteral("err"), sub, QStringLiteral("#ff0000"), {}}, {QStringLiteral("\\d+"), re, QStringLiteral("#0000ff"), {}}};
        t.engine.applySettings(settings);
        t.feed(esc("a\e[31mb\e[1;4mc\e[0md\e[7me\e[0;4m err ok 42"));
        QCOMPARE(t.text(), QStringLiteral("abcde err ok 42"));
        const QColor plain = t.formatAt(0).foreground().color();
        QVERIFY(t.formatAt(1).foreground().color() != plain && t.formatAt(0).background().style() == Qt::NoBrush);
        QVERIFY(t.formatAt(2).fontUnderline() && t.formatAt(2).fontWeight() == 700);
        QCOMPARE(t.formatAt(3).fontWeight(), QTextCharFormat().fontWeight());
        QCOMPARE(t.formatAt(4).background().color(), plain);
        QVERIFY(t.formatAt(8).foreground().color() == QColor("#ff0000") && t.formatAt(8).fontUnderline());
        QCOMPARE(t.formatAt(11).foreground().color(), plain);
        QCOMPARE(t.formatAt(14).foreground().color(), QColor("#0000ff"));
    }

    // With BS for Backspace, a typed Backspace (L bytes) expects its echo
    // within 500 ms: at the end of the row the first BS erases, the next
    // L - 1 are skipped; inside the row (the cursor moved back) it only
    // moves; an echo that never came disturbs no later BS.
    void backspaceEcho_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("wait");
        QTest::addColumn<QString>("echo");
        QTest::addColumn<QString>("expected");
        QTest::newRow("erases a wide character") << "abc中" << 500 << "\b\b\b" << "abc @0,4";
        QTest::newRow("after the window it moves") << "abc中" << 501 << "\b" << "abc中 @0,5";
        QTest::newRow("inside the row it moves") << "echo abcdef\\e[3D" << 0 << "\b\\e[1P" << "echo abdef @0,8";
        QTest::newRow("missing echo, later moves") << "中" << 600 << "ab\b\bX" << "中Xb @0,4";
    }
    void backspaceEcho()
    {
        QFETCH(QString, before);
        QFETCH(int, wait);
        QFETCH(QString, echo);
        Terminal t;
        qint64 now = 1000;
        t.r.clock = [&] { return now; };
        TerminalSettings settings;
        settings.bs08 = true;
        t.engine.applySettings(settings);
        t.feed(esc(before.toUtf8().constData()));
        t.engine.expectErasedEcho(t.engine.bytesBeforeCursor() - 1);
        now += wait;
        t.feed(esc(echo.toUtf8().constData()));
        QTEST(t.text() + QStringLiteral(" @%1,%2").arg(t.r.rowBack).arg(t.r.col), "expected");
    }

    // While a selection is being made with the mouse, writes leave the
    // view's cursor alone; the host says which buttons are held.
    void selectionKeepsViewCursor()
    {
        Terminal t;
        Qt::MouseButtons held = Qt::LeftButton;
        t.engine.mouseButtons = [&] { return held; };
        t.engine.mouseUp = false;
        QSignalSpy moved(&t.engine, &TerminalEngine::cursorMoved);
        t.feed(esc("abc\r\ndef"));
        QCOMPARE(moved.count(), 0);
        held = Qt::NoButton;
        t.feed(esc("g"));
        QVERIFY(moved.count() > 0);
    }

    // Programs wait for these answers whichever screen is on; the row counts
    // within the last screenful of lines.
    void lineModeAnswersQueries_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("DSR 6, many lines") << esc("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\e[6n") << QByteArray("\x1b[5;2R");
        QTest::newRow("DSR 6, cursor up") << esc("1\r\n2\r\n3\r\n4\r\n5\r\n6\e[2A\e[6n") << QByteArray("\x1b[3;2R");
    }
    void lineModeAnswersQueries()
    {
        QFETCH(QString, input);
        Terminal t;
        t.engine.setTerminalSize(20, 5);
        QSignalSpy replies(&t.engine, &TerminalEngine::sendInput);
        t.feed(input);
        QTEST(replies.value(0).value(0).toByteArray(), "reply");
        QVERIFY(!t.engine.grid());
    }

    // A control string of any length (DCS: 100 MB) prints nothing and
    // holds no more than the cap, in line mode and on the grid alike.
    void hugeControlStringPrintsNothing_data()
    {
        QTest::addColumn<QString>("start");
        for (const char *start : {"\eP", "\e]", "\e_", "\e^", "\eX"})
            QTest::newRow(start + 1) << esc(start);
    }
    void hugeControlStringPrintsNothing()
    {
        QFETCH(QString, start);
        Terminal t;
        ScreenGrid g(80, 24);
        const QString chunk = QStringLiteral("x\n").repeated(1 << 19); // a megabyte
        const int megabytes = start.endsWith(u'P') ? 100 : 1;
        for (int i = -1; i <= megabytes; ++i) {
            if (i == megabytes)
                QVERIFY(t.r.scanner().heldUnits() <= EscapeScanner::MaxString && g.scanner().heldUnits() <= EscapeScanner::MaxString);
            const QString piece = i < 0 ? u'a' + start : i < megabytes ? chunk : esc("\e\\b");
            t.engine.receiveText(piece);
            g.feed(piece);
        }
        QCOMPARE(t.text(), QStringLiteral("ab"));
        QCOMPARE(g.rowText(0), QStringLiteral("ab"));
    }

    // Edits made by the view itself (local echo) must not confuse the
    // renderer's knowledge of the row.
    void externalEditsAreSeen()
    {
        Terminal t;
        t.feed(QStringLiteral("abc"));
        QTextCursor c(&t.doc);
        c.movePosition(QTextCursor::End);
        c.insertText(QStringLiteral("XY"));
        t.feed(esc("\e[9G"));
        QCOMPARE(t.text(), QStringLiteral("abcXY   "));
    }

    // The user's Clear keeps the line the cursor is on (all its rows, and
    // what a line editor drew below it) and the cursor's place on it; what
    // the stream left open before it does not change the text that comes
    // after, and a CR before it redraws the line as it would have.
    void clearStartsOver_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("rows");
        QTest::newRow("unfinished CSI") << esc("ab\e[3") << "abqx1m @0,7";
        QTest::newRow("line-drawing set in G0") << esc("\e(0q") << "─qx1m @0,6";
        QTest::newRow("line-drawing set by SO") << esc("one\r\n\e)0\x0eq") << "─qx1m @0,6";
        QTest::newRow("a wrapped line") << esc("one\r\n$ 0123456789") << "$ 01234567~89qx1m @0,7";
        QTest::newRow("rows below the cursor") << esc("one\r\n$ ab\r\nmenu\e[A\e[5G") << "$ abqx1m|menu @1,9";
        QTest::newRow("after CR") << esc("one\r\n$ ab\r") << "qx1m @0,5";
        QTest::newRow("a progress line redrawn after CR") << esc("10% [=> ]\r20% [==>]\r") << "qx1m @0,5";
    }
    void clearStartsOver()
    {
        QFETCH(QString, before);
        Terminal t(10);
        t.feed(before);
        t.engine.clear();
        t.feed(QStringLiteral("qx1m"));
        QTEST(t.rows(), "rows");
    }

    // The same stream in one call and cut into small pieces leaves the same
    // text, colours and cursor, and the same screen on the grid.
    void splitCallsGiveTheSameResult_data()
    {
        QTest::addColumn<bool>("grid");
        QTest::newRow("line mode") << false;
        QTest::newRow("grid") << true;
    }
    void splitCallsGiveTheSameResult()
    {
        QFETCH(bool, grid);
        static const char *const tokens[] = {"hello", " world", "\r\n", "\r", "\n", "\b", "\t", "x",
                                             "\e[31m", "\e[1;44m", "\e[0m", "\e[3D", "\e[2C", "\e[K",
                                             "\e[5G", "\e[1;12H", "\e[3X", "\e]0;t\a", "\e(B", "\e[?25l",
                                             "\e]2;t\e\\", "\eP1$qm\e\\", "\e_a\e\\", "\e^p\e\\", "\eXs\e\\", "\e[\r2C",
                                             "中", "\e[2@", "\e[P", "\e(0", "\e)0\x0e", "\x0f",
                                             // the grid's own
                                             "\e[2;3r", "\e[?1049h", "\e[H", "\e[2J", "\e[3;1H", "\eP1$r\r", "\e[2\rC"};
        const int choices = int(std::size(tokens)) - (grid ? 0 : 7);
        QRandomGenerator rng(99);
        for (int round = 0; round < 60; ++round) {
            QString stream;
            for (int i = 0; i < 120; ++i)
                stream += esc(tokens[rng.bounded(choices)]);
            stream += QStringLiteral("end");
            const QByteArray where = stream.toUtf8().toPercentEncoding(" []");
            Terminal whole, pieces;
            ScreenGrid wholeGrid(10, 4), piecesGrid(10, 4);
            grid ? void(wholeGrid.feed(stream)) : whole.feed(stream);
            for (int at = 0, n = 0; at < stream.size(); at += n) {
                const QString piece = stream.mid(at, n = rng.bounded(1, 8));
                grid ? void(piecesGrid.feed(piece)) : pieces.engine.receiveText(piece);
            }
            if (grid) {
                QVERIFY2(termtest::screenText(piecesGrid) == termtest::screenText(wholeGrid), where);
                continue;
            }
            QVERIFY2(pieces.text() == whole.text(), where);
            QCOMPARE(pieces.r.col, whole.r.col);
            for (int pos = 0; pos < whole.text().size(); ++pos)
                QVERIFY2(pieces.formatAt(pos) == whole.formatAt(pos), qPrintable(QString::number(pos)));
        }
    }

    // A flood held back between frames, of which only what the scroll-back
    // keeps goes into the document, leaves the same rows and colours as one
    // inserted line by line and trimmed; whatever follows it (a status line,
    // edits of rows already received, the alternate screen) sees them too.
    void floodKeepsWhatTheScrollbackKeeps_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("tail"); // "|" separates pieces; "<..." is a status line
        QTest::newRow("flood then text") << 400 << "done";
        QTest::newRow("exactly the limit") << 50 << "";
        QTest::newRow("one past the limit") << 51 << "x";
        QTest::newRow("CR redraws the last row") << 300 << "abc\rX";
        QTest::newRow("cursor up into the flood") << 300 << "\e[3A\e[2GZ\e[B";
        QTest::newRow("status line after it") << 300 << "|<b>status</b>|after";
        QTest::newRow("alternate screen") << 300 << "\e[?1049hgrid";
        QTest::newRow("alternate screen and back") << 300 << "\e[?1049hgrid\e[?1049lback";
    }
    void floodKeepsWhatTheScrollbackKeeps()
    {
        QFETCH(int, lines);
        QFETCH(QString, tail);
        const int limit = 50;
        QString flood;
        for (int i = 0; i < lines; ++i)
            flood += esc("line %1 \e[3%2mcoloured\e[0m end\r\n").arg(i).arg(i % 8);
        const QStringList pieces = (flood + esc(tail.toUtf8().constData())).split(u'|');
        Terminal plain, jumping;
        plain.engine.setScrollbackLimit(limit);
        plain.r.keepLines = 0;
        jumping.engine.setScrollbackLimit(limit);
        jumping.engine.setFrameInterval(1 << 30);
        qint64 inserted = 0;
        QObject::connect(&jumping.doc, &QTextDocument::contentsChange, [&](int, int, int added) { inserted += added; });
        QRandomGenerator rng(7);
        for (const QString &piece : pieces) {
            for (Terminal *t : {&plain, &jumping}) {
                if (piece.startsWith(u'<')) {
                    t->engine.appendHtml(piece);
                    continue;
                }
                const QByteArray bytes = piece.toUtf8();
                for (int at = 0, n = 0; at < bytes.size(); at += n) {
                    t->engine.appendData(bytes.mid(at, n = rng.bounded(1, 9000)));
                    while (t->engine.pendingBytes() > 0)
                        t->engine.drainReceived();
                }
            }
        }
        while (jumping.engine.hasPendingData())
            jumping.engine.drainReceived();
        // In the alternate screen the rows wait in the saved document; the
        // newest rows count, as the line-by-line document is trimmed only at
        // the end of a drain step and may be saved untrimmed.
        const QTextDocument &jumped = jumping.engine.grid() ? *jumping.engine.altDocument() : jumping.doc;
        const QTextDocument &reference = plain.engine.grid() ? *plain.engine.altDocument() : plain.doc;
        const int rows = jumped.blockCount();
        const auto dump = [rows](const QTextDocument &doc) {
            QStringList out;
            for (QTextBlock b = doc.findBlockByNumber(doc.blockCount() - rows); b.isValid(); b = b.next())
                for (auto f = b.begin(); !f.atEnd(); ++f)
                    out << f.fragment().text() + u'{' + f.fragment().charFormat().foreground().color().name() + u'}';
            return out.join(u'|');
        };
        QCOMPARE(rows, std::min(lines + 1, limit));
        QCOMPARE(dump(jumped), dump(reference));
        QCOMPARE(jumping.r.col, plain.r.col);
        if (lines >= 4 * limit)
            QVERIFY2(inserted < 3 * limit * 40, qPrintable(QString::number(inserted)));
    }

    // Pieces in, text out per piece: a character cut between pieces comes
    // out whole with the piece that completes it.
    void decoding_data()
    {
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QStringList>("texts");
        const QString utf8 = QStringLiteral("默认");
        QTest::newRow("3-byte split 1+2") << utf8 << QByteArrayList{"a\xe4", "\xb8\xad"} << QStringList{"a", "中"};
        QTest::newRow("invalid") << QStringLiteral("UTF-8") << QByteArrayList{"a\xff" "b"} << QStringList{"a\uFFFDb"};
        QTest::newRow("GBK carry") << QStringLiteral("GBK") << QByteArrayList{"\xd6\xd0\x41\xd6", "\xd0"} << QStringList{"中A", "中"};
        // Marks stacked past four on one character are dropped, counted
        // across slices; marks outside the BMP stay whole.
        const auto marks = [](int n, const QString &m = QStringLiteral("\u0301")) { return m.repeated(n); };
        const QString stem = QStringLiteral("\U0001D165");
        QTest::newRow("marks capped") << utf8 << QByteArrayList{("a" + marks(6) + "b" + marks(2)).toUtf8()}
                                      << QStringList{"a" + marks(4) + "b" + marks(2)};
        QTest::newRow("marks across slices") << utf8 << QByteArrayList{("a" + marks(3)).toUtf8(), (marks(3) + "b").toUtf8()}
                                             << QStringList{"a" + marks(3), marks(1) + "b"};
        QTest::newRow("astral marks") << utf8 << QByteArrayList{("x" + marks(5, stem) + "y").toUtf8()}
                                      << QStringList{"x" + marks(4, stem) + "y"};
    }
    void decoding()
    {
        QFETCH(QString, encoding);
        QFETCH(QByteArrayList, pieces);
        QFETCH(QStringList, texts);
        ReceiveDecoder d;
        d.encoding = encoding;
        for (int i = 0; i < pieces.size(); ++i)
            QCOMPARE(d.decodeReceived(pieces[i]), texts[i]);
        QVERIFY(d.decodeCarry.isEmpty());
    }

    void overflowKeepsNewest()
    {
        Terminal u;
        u.engine.appendData(QByteArray(1024 * 1024, 'a'));
        u.engine.appendData(QByteArray(1024 * 1024 + 1, 'b'));
        QVERIFY(u.text().contains(QStringLiteral("已丢弃最早的 1 KB 数据")));
        while (u.engine.hasPendingData())
            u.engine.drainReceived();
        QVERIFY(u.text().endsWith(QString(1024 * 1024 + 1, u'b')));
    }

    void widths()
    {
        QVERIFY(!paletteColor(-1).isValid() && !paletteColor(256).isValid());
        const std::pair<QString, int> widths[] = {{QStringLiteral("a中b"), 4}, {QStringLiteral("\U0001F600"), 2},
            {QString(QChar(0xDC00)), 0}, {QString(QChar(0xD83D)), 1}, {QStringLiteral("\uFF71\uFF20\u1160\u115F"), 6}};
        for (const auto &[text, width] : widths)
            QVERIFY2(displayWidth(text) == width, qPrintable(text));
    }

    // Rows of one long line: a wrap marks the row that continues the line,
    // text taken out joins such rows, a new width lays the lines out again,
    // and ESC c starts the view afresh.
    void rowsOfALine_data()
    {
        QTest::addColumn<int>("columns");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("rows");
        QTest::newRow("15 characters at 10 columns") << 10 << "0123456789ABCDE" << "0123456789~ABCDE @0,6";
        QTest::newRow("a full row then a line end") << 10 << esc("0123456789\r\nX") << "0123456789|X @0,2";
        QTest::newRow("a wide character that does not fit") << 10 << "123456789中x" << "123456789~中x @0,4";
        QTest::newRow("a row cut short no longer continues") << 10 << esc("0123456789ABC\e[A\e[5G\e[K")
                                                             << "0123|ABC @1,5";
        QTest::newRow("a row redrawn after CR no longer goes on below") << 10 << esc("0123456789ABC\e[A\rXY")
                                                                 << "XY|ABC @1,3";
        QTest::newRow("erasing below from a wrapped row") << 10 << esc("line1\r\n0123456789ABCDE\e[A\e[J")
                                                          << "line1|01234 @0,6";
        QTest::newRow("a wrap into a row that exists") << 10 << esc("a\r\nb\e[A\r0123456789XY") << "0123456789~XY @0,3";
        QTest::newRow("a status line starts a line") << 10 << esc("0123456789AB\r\e[K|<b>gone</b>") << "0123456789|gone| @0,1";
        QTest::newRow("alternate screen and back") << 10 << esc("0123456789ABCDE\e[?1049hx\e[?1049l")
                                                   << "0123456789~ABCDE @0,1";
        // A new width lays the lines above the cursor's out again; the
        // cursor's line stays as the program that writes it left it.
        QTest::newRow("wider") << 10 << esc("0123456789ABCDE\r\n$ {20}") << "0123456789ABCDE|$  @0,3";
        QTest::newRow("narrower") << 20 << esc("0123456789ABCDE\r\nxy{10}") << "0123456789~ABCDE|xy @0,3";
        QTest::newRow("narrower, then back") << 20 << esc("0123456789ABCDE\r\nxy{4}{20}") << "0123456789ABCDE|xy @0,3";
        QTest::newRow("the cursor's line") << 10 << esc("0123456789ABCDE\e[3D{20}") << "0123456789~ABCDE @0,3";
        QTest::newRow("the cursor on a row that continues a line") << 10 << esc("0123456789ABCDE\r\nxy\e[A{4}")
                                                   << "0123456789~ABCDE|xy @1,3";
        QTest::newRow("wide characters keep whole") << 6 << esc("中文字符\r\n{5}") << "中文~字符| @0,1";
        QTest::newRow("narrower than a wide character") << 4 << esc("a中b\r\n{1}") << "a~中~b| @0,1";
        QTest::newRow("a resize during the alternate screen") << 10 << esc("0123456789ABCDE\r\n\e[?1049h{20}x\e[?1049l")
                                                              << "0123456789ABCDE| @0,1";
        QTest::newRow("text after a resize wraps at the new width") << 10 << "0123456789AB{5}CDEF" << "0123456789~ABCDE~F @0,2";
        QTest::newRow("ESC c clears") << 10 << esc("\e[31mred\r\n0123456789AB\ecplain") << "plain @0,6";
    }
    void rowsOfALine()
    {
        QFETCH(int, columns);
        QFETCH(QString, input);
        Terminal t(columns);
        t.feed(input);
        QTEST(t.rows(), "rows");
    }

    // Pieces cut anywhere give the same rows, marks included; with a flood
    // held back for its frame and trimmed, the rows kept keep their marks.
    void marksDoNotDependOnReads()
    {
        QString stream;
        QRandomGenerator rng(11);
        for (int i = 0; i < 400; ++i)
            stream += QStringLiteral("%1 %2\r\n").arg(i).arg(QString(rng.bounded(0, 30), QChar(u'a' + i % 26)));
        stream += esc("tail\e[33mcoloured0123456789");
        Terminal whole(12), pieces(12);
        whole.feed(stream);
        for (int at = 0, n = 0; at < stream.size(); at += n)
            pieces.feed(stream.mid(at, n = rng.bounded(1, 17)));
        QCOMPARE(pieces.rows(), whole.rows());
        // Limits a row apart: some cut between two rows of one line.
        for (int limit = 50; limit < 54; ++limit) {
            Terminal flood(12);
            flood.engine.setScrollbackLimit(limit);
            flood.engine.setFrameInterval(1 << 30);
            flood.engine.appendData(stream.toUtf8());
            while (flood.engine.hasPendingData())
                flood.engine.drainReceived();
            QCOMPARE(flood.doc.blockCount(), limit);
            // The first row kept shows no mark in lastRows: compare it apart.
            QCOMPARE(flood.lastRows(), whole.lastRows(limit).mid(1));
            QCOMPARE(wrappedlines::continuesAbove(flood.doc.firstBlock()),
                     wrappedlines::continuesAbove(whole.doc.findBlockByNumber(whole.doc.blockCount() - limit)));
        }
    }

    // What leaves the document: one line per line received, whatever the
    // rows; a match may run across the break between two rows.
    void textTakenOut()
    {
        Terminal t(10);
        t.feed(esc("0123456789ABCDE\r\nxy\r\nlong line at ten cells\r\n$ "));
        QCOMPARE(wrappedlines::joinedText(&t.doc), QStringLiteral("0123456789ABCDE\nxy\nlong line at ten cells\n$ "));
        // Positions: row "0123456789" 0-9, its end 10, "ABCDE" 11-15, its end 16, "xy" 17-18.
        const std::tuple<int, int, QString> ranges[] = {
            {5, 13, QStringLiteral("56789AB")}, {10, 11, QString()}, {14, 18, QStringLiteral("DE\nx")}, {3, 3, QString()}};
        for (const auto &[from, to, text] : ranges)
            QVERIFY2(wrappedlines::joinedText(&t.doc, from, to) == text, qPrintable(QStringLiteral("%1-%2").arg(from).arg(to)));

        const QTextCursor across = wrappedlines::findInLines(&t.doc, QStringLiteral("89ab"), 0);
        QCOMPARE(std::pair(across.selectionStart(), across.selectionEnd()), std::pair(8, 13));
        QCOMPARE(across.selectedText().remove(QChar::ParagraphSeparator), QStringLiteral("89AB"));
        // Each later search starts after the last match; none is left after the last.
        const QTextCursor first = wrappedlines::findInLines(&t.doc, QStringLiteral("e"), 0);
        const QTextCursor second = wrappedlines::findInLines(&t.doc, QStringLiteral("e"), first.selectionEnd());
        QVERIFY(first.selectionStart() == 15 && second.selectionStart() > 19);
        QVERIFY(wrappedlines::findInLines(&t.doc, QStringLiteral("89AB"), 9).isNull());
        QVERIFY(wrappedlines::findInLines(&t.doc, QStringLiteral("E\nxy"), 0).selectionStart() == 15);
    }

    // Laying the rows out again keeps each character's pen; after ESC c
    // text takes the default pen.
    void pensAfterReflowAndReset()
    {
        Terminal t(10);
        t.feed(esc("01234\e[31m56789AB\e[0mCDE\r\n{4}{13}"));
        QCOMPARE(t.rows(), QStringLiteral("0123456789ABC~DE| @0,1"));
        for (auto f = t.doc.firstBlock().begin(); !f.atEnd(); ++f)
            QCOMPARE(f.fragment().charFormat().foreground().color() != QColor(Qt::white), f.fragment().text().startsWith(u'5'));
        t.feed(esc("\e[1;41mbold\ecX"));
        QVERIFY(t.text() == u"X" && t.formatAt(0).fontWeight() != 700 && !t.formatAt(0).hasProperty(QTextFormat::BackgroundBrush));
    }
};

QTEST_MAIN(TestLineTerminal)
#include "tst_lineterminal.moc"
