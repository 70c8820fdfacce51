// Line mode's rows of one long line: a wrap marks the row that continues the
// line, text taken out joins such rows, a new width lays the lines out again,
// and ESC c starts the view afresh.
#include "termtest.h"

#include "terminal/terminalengine.h"
#include "terminal/wrappedlines.h"

#include <QRandomGenerator>
#include <QRegularExpression>
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

    explicit Terminal(int columns) { engine.setTerminalSize(columns, 5); }

    // "{N}" in the input makes the terminal N columns wide at that point;
    // "|" separates reads, and a read that starts with "<" is a status line.
    void feed(const QString &input)
    {
        static const QRegularExpression resize(QStringLiteral("\\{(\\d+)\\}"));
        for (const QString &piece : input.split(u'|')) {
            if (piece.startsWith(u'<')) {
                engine.appendHtml(piece);
                continue;
            }
            int at = 0;
            for (auto m = resize.globalMatch(piece); m.hasNext();) {
                const auto hit = m.next();
                engine.receiveText(piece.mid(at, hit.capturedStart() - at));
                engine.setTerminalSize(hit.captured(1).toInt(), 5);
                at = int(hit.capturedEnd());
            }
            engine.receiveText(piece.mid(at));
        }
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

class TestWrappedLines : public QObject
{
    Q_OBJECT

private slots:
    void rowsOfALine_data()
    {
        QTest::addColumn<int>("columns");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("rows");
        QTest::newRow("15 characters at 10 columns") << 10 << "0123456789ABCDE" << "0123456789~ABCDE @0,6";
        QTest::newRow("a full row then a line end") << 10 << esc("0123456789\r\nX") << "0123456789|X @0,2";
        QTest::newRow("a full row waits for more before it wraps") << 10 << "0123456789" << "0123456789 @0,11";
        QTest::newRow("three rows and the next line") << 10 << esc("abcdefghijklmnopqrstuvwxy\r\nnext")
                                                      << "abcdefghij~klmnopqrst~uvwxy|next @0,5";
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
        // A new width lays the lines out again, the cursor on its character.
        QTest::newRow("wider") << 10 << "0123456789ABCDE{20}" << "0123456789ABCDE @0,16";
        QTest::newRow("narrower") << 20 << esc("0123456789ABCDE\r\nxy{10}") << "0123456789~ABCDE|xy @0,3";
        QTest::newRow("narrower, then back") << 20 << esc("0123456789ABCDE\r\nxy{4}{20}") << "0123456789ABCDE|xy @0,3";
        QTest::newRow("the cursor inside a wrapped line") << 10 << esc("0123456789ABCDE\e[3D{20}") << "0123456789ABCDE @0,13";
        QTest::newRow("the cursor on a row above") << 10 << esc("0123456789ABCDE\r\nxy\e[A{4}")
                                                   << "0123~4567~89AB~CDE|xy @1,1";
        QTest::newRow("wide characters keep whole") << 6 << "中文字符{5}" << "中文~字符 @0,5";
        QTest::newRow("narrower than a wide character") << 4 << "a中b{1}" << "a~中~b @0,2";
        QTest::newRow("a resize during the alternate screen") << 10 << esc("0123456789ABCDE\e[?1049h{20}x\e[?1049l")
                                                              << "0123456789ABCDE @0,11";
        QTest::newRow("text after a resize wraps at the new width") << 10 << "0123456789AB{5}CDE" << "01234~56789~ABCDE @0,6";
        QTest::newRow("ESC c clears") << 10 << esc("\e[31mred\r\n0123456789AB\ecplain") << "plain @0,6";
        QTest::newRow("ESC c with more rows than the screen") << 10 << esc("a\r\n").repeated(40) + esc("\ec\e[Ax")
                                                              << "x @0,2";
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
        QVERIFY(wrappedlines::findInLines(&t.doc, QStringLiteral("line at ten"), 0).selectedText().contains(QChar::ParagraphSeparator));
        QVERIFY(wrappedlines::findInLines(&t.doc, QStringLiteral("89AB"), 9).isNull());
        QVERIFY(wrappedlines::findInLines(&t.doc, QStringLiteral("E\nxy"), 0).selectionStart() == 15);
    }

    // Laying out again keeps each character's pen.
    void reflowKeepsColours()
    {
        Terminal t(10);
        t.feed(esc("01234\e[31m56789AB\e[0mCDE{4}{13}"));
        QCOMPARE(t.rows(), QStringLiteral("0123456789ABC~DE @0,3"));
        const QTextBlock row = t.doc.firstBlock();
        for (auto f = row.begin(); !f.atEnd(); ++f) {
            const bool red = f.fragment().text().startsWith(u'5');
            QCOMPARE(f.fragment().charFormat().foreground().color() != QColor(Qt::white), red);
        }
    }

    // ESC c: the pen is the default one again; the next line goes on as new.
    void resetClearsThePen()
    {
        Terminal t(10);
        t.feed(esc("\e[1;41mbold\ecX"));
        QCOMPARE(t.doc.toPlainText(), QStringLiteral("X"));
        QTextCursor c(&t.doc);
        c.setPosition(1);
        QVERIFY(c.charFormat().fontWeight() != 700 && !c.charFormat().hasProperty(QTextFormat::BackgroundBrush));
    }
};

QTEST_MAIN(TestWrappedLines)
#include "tst_wrappedlines.moc"
