#include "core/appsettings.h"
#include "core/sessionstore.h"
#include "terminal/terminalengine.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>

namespace {

void feed(TerminalView &v, const QByteArray &bytes)
{
    v.appendData(bytes);
    while (v.engine()->hasPendingData())
        v.engine()->drainReceived();
    // The view draws once per turn of the event loop.
    QCoreApplication::processEvents();
}

QByteArray sent(const QSignalSpy &spy)
{
    QByteArray all;
    for (const QList<QVariant> &args : spy)
        all += args.at(1).toByteArray();
    return all;
}

bool shown(TerminalView &v, int width, int height)
{
    v.resize(width, height);
    v.show();
    return QTest::qWaitForWindowExposed(&v);
}

} // namespace

class TestTerminalView : public QObject
{
    Q_OBJECT

private slots:
    void sizeReportsAreCoalesced()
    {
        TerminalView v(QStringLiteral("s1"), QStringLiteral("t"));
        QVERIFY(shown(v, 400, 300));
        QSignalSpy spy(&v, &TerminalView::sizeChanged);
        QTRY_VERIFY(v.columns() > 0);
        const int before = int(spy.size());
        // A drag: many sizes, each laid out at once.
        QElapsedTimer drag;
        drag.start();
        for (int w = 500; w <= 900; w += 100) {
            v.resize(w, 300 + w / 10);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        }
        QVERIFY(spy.size() - before <= 1 + drag.elapsed() / TerminalView::SizeReportInterval);
        QTRY_VERIFY(!spy.isEmpty() && spy.last().at(1).toInt() == v.columns());
        QCOMPARE(spy.last().at(2).toInt(), v.rowCount());
    }

    // The size in cells is the view's, whether the scroll bar has anything
    // to scroll or not: a long listing, a full-screen program and its end
    // tell the session of no size at all.
    void sizeIgnoresTheScrollBar()
    {
        TerminalView v(QStringLiteral("s8"), QStringLiteral("t"));
        QVERIFY(shown(v, 640, 400));
        QTRY_VERIFY(v.columns() > 0);
        QTest::qWait(2 * TerminalView::SizeReportInterval); // the view's own first size is told
        const QSize size(v.columns(), v.rowCount());
        QSignalSpy spy(&v, &TerminalView::sizeChanged);
        QByteArray listing;
        for (int i = 0; i < 3 * size.height(); ++i)
            listing += "line " + QByteArray::number(i) + "\r\n";
        for (const QByteArray &step : {listing, QByteArray("\x1b[?1049h\x1b[2J"), QByteArray("\x1b[?1049l"), listing}) {
            feed(v, step);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QCOMPARE(QSize(v.columns(), v.rowCount()), size);
        }
        QTest::qWait(2 * TerminalView::SizeReportInterval);
        QCOMPARE(spy.size(), 0);
        QCOMPARE(v.terminalSize(), size);
    }

    // A full-screen program while the view is resized: the grid takes the
    // sizes the session is told of and no other (not the one the view has
    // while its document still holds the old screen), once per change.
    void gridTakesTheReportedSizes_data()
    {
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("to");
        QTest::newRow("shrink") << QSize(807, 505) << QSize(600, 350);
        QTest::newRow("height only") << QSize(700, 500) << QSize(700, 300);
        QTest::newRow("grow") << QSize(600, 350) << QSize(807, 505);
    }
    void gridTakesTheReportedSizes()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, to);
        TerminalView v(QStringLiteral("s9"), QStringLiteral("t"));
        QVERIFY(shown(v, from.width(), from.height()));
        QTRY_VERIFY(v.columns() > 0);
        QByteArray screen("\x1b[?1049h");
        for (int r = 1; r <= v.rowCount(); ++r)
            screen += "\x1b[" + QByteArray::number(r) + ";1H" + QByteArray(v.columns(), char('a' + r % 26));
        feed(v, screen);
        QList<QSize> told{QSize(v.columns(), v.rowCount())};
        connect(&v, &TerminalView::sizeChanged, this, [&](const QString &, int c, int r) { told << QSize(c, r); });
        QList<QSize> drawn;
        connect(v.engine(), &TerminalEngine::gridRenderRequested, this, [&] {
            drawn << QSize(v.engine()->grid()->columnCount(), v.engine()->grid()->rowCount());
        });
        QTest::qWait(TerminalView::SizeReportInterval); // no earlier report holds this one back
        v.resize(to);
        QTRY_VERIFY(told.size() > 1 && told.last() == QSize(v.columns(), v.rowCount()));
        QTest::qWait(2 * TerminalView::SizeReportInterval);
        QCOMPARE(told.size(), 2);
        QVERIFY(!drawn.isEmpty());
        for (const QSize &size : drawn)
            QVERIFY2(told.contains(size), qPrintable(QStringLiteral("grid %1x%2").arg(size.width()).arg(size.height())));
        QCOMPARE(v.terminalEdit()->document()->blockCount(), told.last().height());
    }

    // Clear: on the normal screen the cursor's line stays and the session
    // writes on there; on the alternate screen the program's screen stays
    // as drawn, and its end shows a clean view.
    void clearKeepsTheAlternateScreen_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("alternate");
        const QByteArray program("one\r\n\x1b[?1049h\x1b[2;3HABC");
        QTest::newRow("normal screen") << QByteArray("one\r\n$ ab") << QByteArray("x") << "$ abx" << false;
        QTest::newRow("alternate screen") << program << QByteArray("x") << "\n  ABCx" << true;
        QTest::newRow("the program ends") << program << QByteArray("x\x1b[?1049lz") << "z" << false;
        QTest::newRow("after CR") << QByteArray("one\r\n$ ab\r") << QByteArray("x") << "x" << false;
        QTest::newRow("alternate screen, after CR") << program + '\r' << QByteArray("x") << "\nx ABC" << true;
    }
    void clearKeepsTheAlternateScreen()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        TerminalView v(QStringLiteral("s10"), QStringLiteral("t"));
        QVERIFY(shown(v, 640, 400));
        feed(v, before);
        v.clear();
        feed(v, after);
        QString text = v.terminalEdit()->document()->toPlainText();
        while (text.endsWith(u'\n'))
            text.chop(1);
        QTEST(text, "text");
        QTEST(v.terminalEdit()->keys.altScreenActive, "alternate");
        QTEST(v.engine()->grid() != nullptr, "alternate");
    }

    void sessionSettings_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<bool>("localEcho");
        QTest::addColumn<bool>("bs08");
        QTest::addColumn<int>("scrollback");
        QTest::newRow("serial takes the global echo") << "serial" << QStringList{"display/localEcho=true"} << true << true << 5000;
        QTest::newRow("ssh never echoes") << "ssh" << QStringList{"display/localEcho=true", "term/overrideEcho=true"} << false << false << 5000;
        QTest::newRow("unknown scroll-back") << "ssh" << QStringList{"term/scrollback=20000"} << false << false << 5000;
        QTest::newRow("serial with DEL") << "serial" << QStringList{"term/scrollback=50000", "term/backspace=DEL (0x7F)"} << false << false << 50000;
        QTest::newRow("ssh with BS") << "ssh" << QStringList{"term/backspace=BS (0x08)"} << false << true << 5000;
        QTest::newRow("quick connect is like serial") << "" << QStringList() << false << true << 5000;
    }
    void sessionSettings()
    {
        QFETCH(QString, type);
        QFETCH(QStringList, keys);
        const QString id = type.isEmpty() ? QStringLiteral("fast:1")
            : SessionStore::instance().addSession(QLatin1String(QTest::currentDataTag()), type, QString(), QStringLiteral("h"), QStringLiteral("1"));
        for (const QString &kv : keys) {
            const QString key = kv.section(u'=', 0, 0);
            AppSettings::instance().setValue(key.startsWith(u"display/") ? key : QStringLiteral("session/%1/%2").arg(id, key), kv.section(u'=', 1));
        }
        TerminalView v(id, QStringLiteral("t"));
        AppSettings::instance().setValue(QStringLiteral("display/localEcho"), false);
        QTEST(v.terminalEdit()->keys.localEcho, "localEcho");
        QTEST(v.terminalEdit()->keys.bs08, "bs08");
        QTEST(v.scrollback(), "scrollback");
    }

    void hexMonitor()
    {
        TerminalArea area;
        area.addTerminal(QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("connected"), QString());
        TerminalView *v = area.view(QStringLiteral("a"));
        QVERIFY(area.toggleHexMonitor(QStringLiteral("a")));
        QVERIFY(!area.toggleHexMonitor(QStringLiteral("nobody")));
        QSignalSpy typed(&area, &TerminalArea::inputSent);
        QSignalSpy replies(&area, &TerminalArea::replySent);
        feed(*v, "0123456789<a&>\r\nXYZW\x1b[?1049h\x1b[6n");
        QTest::keyClick(v->terminalEdit(), Qt::Key_A, Qt::NoModifier);
        const QString dump = v->hexView()->toPlainText();
        QVERIFY2(dump.contains(u"00000010: 58 59 5A 57") && dump.contains(u"[TX] 00000020: 61"), qPrintable(dump));
        // The device answer leaves as a reply, never as typed input or in the dump.
        QCOMPARE(sent(typed), QByteArray("a"));
        QVERIFY(sent(replies).startsWith("\x1b[") && !dump.contains(u"1B 5B 31"));
        // Both the text and the dump keep no more than the scroll-back.
        QByteArray lines("\x1b[?1049l");
        for (int i = 0; i < 6000; ++i)
            lines += "line " + QByteArray::number(i) + " of the listing\r\n";
        feed(*v, lines);
        QTextDocument *doc = v->terminalEdit()->document();
        QVERIFY(doc->blockCount() == v->scrollback() && v->hexView()->document()->blockCount() == v->scrollback());
        QCOMPARE(doc->lastBlock().previous().text(), QStringLiteral("line 5999 of the listing"));
        QVERIFY(!area.toggleHexMonitor(QStringLiteral("a")));
        QVERIFY(v->hexView()->toPlainText().isEmpty());
    }

    void echoShownBeforeTheEventLoopRuns_data()
    {
        QTest::addColumn<QByteArray>("setup");
        QTest::newRow("line mode") << QByteArray();
        QTest::newRow("grid") << QByteArray("\x1b[?1049h");
    }

    // A typed key's echo is drawn, with the cursor after it, before the
    // event loop turns again: no echo waits for a timer.
    void echoShownBeforeTheEventLoopRuns()
    {
        QFETCH(QByteArray, setup);
        TerminalView v(QStringLiteral("s5"), QStringLiteral("t"));
        QVERIFY(shown(v, 640, 400));
        feed(v, setup + "$ ");
        v.appendData("a");
        const QTextCursor c = v.terminalEdit()->textCursor();
        QCOMPARE(c.block().text().left(3), QStringLiteral("$ a"));
        QCOMPARE(c.positionInBlock(), 3);
    }

    void altScreenKeepsLineDocument()
    {
        TerminalView v(QStringLiteral("s2"), QStringLiteral("t"));
        QVERIFY(shown(v, 640, 400));
        feed(v, "plain\r\n\x1b[31mred\x1b[0m tail\r\n$ ");
        QTextDocument *doc = v.terminalEdit()->document();
        const QString before = doc->toPlainText();
        const QColor red = doc->findBlockByNumber(1).begin().fragment().charFormat().foreground().color();
        feed(v, "\x1b[?1049h\x1b[2J\x1b[1;1H\x1b[41m  \x1b[0mab\x1b[2;1H中x\x1b[2;4H");
        QVERIFY(v.terminalEdit()->keys.altScreenActive && v.terminalEdit()->lineWrapMode() == QPlainTextEdit::NoWrap);
        QVERIFY(doc->blockCount() == v.engine()->grid()->rowCount() && doc->blockCount() == v.rowCount());
        QCOMPARE(doc->findBlockByNumber(0).text(), QStringLiteral("  ab"));
        // A change to one row redraws it; the others stay as they were.
        feed(v, "\x1b[1;3HZ\x1b[2;4H");
        QCOMPARE(doc->findBlockByNumber(0).text(), QStringLiteral("  Zb"));
        QCOMPARE(doc->findBlockByNumber(1).text(), QStringLiteral("中x"));
        v.appendHtml(QStringLiteral("<span>status</span>"));
        QVERIFY(!doc->toPlainText().contains(u"status"));
        feed(v, "\x1b[?1049lafter");
        QVERIFY(!v.terminalEdit()->keys.altScreenActive && v.terminalEdit()->lineWrapMode() == QPlainTextEdit::WidgetWidth);
        QVERIFY2(doc->toPlainText().startsWith(before) && doc->toPlainText().contains(u"status"), qPrintable(doc->toPlainText()));
        QCOMPARE(doc->findBlockByNumber(1).begin().fragment().charFormat().foreground().color(), red);
        QCOMPARE(v.terminalEdit()->textCursor().position(), doc->characterCount() - 1);
    }

    void runawayLineContinuesOnNewRows_data()
    {
        const int max = TerminalView::MaxRowCells;
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("two rows and a rest") << QByteArray(2 * max + 10, 'a') << QStringList{QString(max, u'a'), QString(max, u'a'), QString(10, u'a')};
        QTest::newRow("wide character at the edge") << QByteArray(max - 1, 'a').append("中b") << QStringList{QString(max - 1, u'a'), QStringLiteral("中b")};
    }
    void runawayLineContinuesOnNewRows()
    {
        QFETCH(QByteArray, input);
        TerminalView v(QStringLiteral("s7"), QStringLiteral("t"));
        feed(v, input);
        QTEST(v.terminalEdit()->document()->toPlainText().split(u'\n'), "rows");
    }

    // A line longer than the view is wide: rows on the screen, one line for
    // copy and find; a wider view lays it out on fewer rows.
    void wrappedLineIsOneLine()
    {
        TerminalView v(QStringLiteral("s8"), QStringLiteral("t"));
        QVERIFY(shown(v, 400, 300));
        QTRY_VERIFY(v.columns() > 10);
        const int cols = v.columns();
        QString line = QStringLiteral("$ ");
        for (int i = 0; line.size() < 2 * cols + 5; ++i)
            line += QString::number(i) + u'/';
        feed(v, line.toUtf8() + "\r\n$ ");
        QTextDocument *doc = v.terminalEdit()->document();
        QCOMPARE(doc->blockCount(), 4);
        v.selectAll();
        v.terminalEdit()->copy();
        QCOMPARE(QApplication::clipboard()->text(), line + QStringLiteral("\n$ "));
        const QString across = line.mid(cols - 3, 6);
        QVERIFY(v.find(across));
        QCOMPARE(v.terminalEdit()->textCursor().selectedText().remove(QChar::ParagraphSeparator), across);
        v.resize(1400, 300);
        QTRY_VERIFY(v.columns() > line.size());
        // laid out again when the session hears of the new width
        QTRY_COMPARE(doc->blockCount(), 2);
        QCOMPARE(doc->firstBlock().text(), line);
        QCOMPARE(v.engine()->lineRenderer().col, 3);

        // On the alternate screen a pager lets the margin wrap its line (a
        // blank past the edge, then BS); an editor moves to each next row
        // itself: its rows stay lines of their own.
        const int wide = v.columns();
        // The blank that ends the first row is the line's own.
        const QString pager = QString(wide - 1, u'p') + QStringLiteral(" tail");
        const QString editor = QString(wide, u'e');
        feed(v, "\x1b[?1049h\x1b[H" + QString(wide - 1, u'p').toUtf8() + "  \btail\x1b[3;1H" + editor.toUtf8()
                    + "\x1b[4;1H" + editor.toUtf8());
        v.renderGrid();
        v.selectAll();
        v.terminalEdit()->copy();
        QCOMPARE(QApplication::clipboard()->text().split(u'\n').mid(0, 3), QStringList({pager, editor, editor}));
    }

    void pausesWhileTooMuchWaits()
    {
        TerminalView v(QStringLiteral("s6"), QStringLiteral("t"));
        QSignalSpy pauses(&v, &TerminalView::readPauseRequested);
        v.appendData(QByteArray(99, 'x').append('\n').repeated(TerminalView::PauseAbove / 100 + 1));
        QVERIFY(pauses.size() == 1 && pauses.last().at(1).toBool());
        // Clearing draws what waited first: the connection must go on reading.
        v.clear();
        QVERIFY(pauses.size() == 2 && !pauses.last().at(1).toBool());
        // Drawing what waited resumes it too.
        v.appendData(QByteArray(TerminalView::PauseAbove + 1, 'y'));
        QTRY_COMPARE(pauses.size(), 4);
        QVERIFY(!pauses.last().at(1).toBool() && v.engine()->droppedBytes() == 0);
    }

    void keysAndPasteFollowTheScreenModes()
    {
        TerminalView v(QStringLiteral("s3"), QStringLiteral("t"));
        TerminalEdit *e = v.terminalEdit();
        QSignalSpy spy(&v, &TerminalView::sendInput);
        QTest::keyClick(e, Qt::Key_Up);
        feed(v, "\x1b[?1049h\x1b[?1h\x1b[?2004h");
        QTest::keyClick(e, Qt::Key_Up);
        QApplication::clipboard()->setText(QStringLiteral("x\x1b[201~y"));
        QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(sent(spy), QByteArray("\x1b[A\x1bOA\x1b[200~x[201~y\x1b[201~"));
    }

    // Down after what programs send: only CSI ? 1 h / l chooses the cursor
    // keys' form; the keypad's ESC = / ESC > (mc sends ESC > after each title
    // update) and line mode leave it alone, a reset clears it.
    void cursorKeysFollowCursorKeyModeOnly_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("down");
        QTest::newRow("mc title update") << QByteArray("\x1b[?1049h\x1b[?1h\x1b=\x1b]0;mc [u@h]:~\a\x1b>") << QByteArray("\x1bOB");
        QTest::newRow("keypad mode alone") << QByteArray("\x1b[?1049h\x1b=") << QByteArray("\x1b[B");
        QTest::newRow("cursor keys reset") << QByteArray("\x1b[?1049h\x1b[?1h\x1b=\x1b[?1l") << QByteArray("\x1b[B");
        QTest::newRow("full reset") << QByteArray("\x1b[?1049h\x1b[?1h\x1b" "c") << QByteArray("\x1b[B");
        QTest::newRow("set in line mode") << QByteArray("\x1b[?1h\x1b=\x1b>") << QByteArray("\x1bOB");
        QTest::newRow("line mode") << QByteArray("\x1b=\x1b>") << QByteArray("\x1b[B");
    }
    void cursorKeysFollowCursorKeyModeOnly()
    {
        QFETCH(QByteArray, received);
        TerminalView v(QStringLiteral("s7"), QStringLiteral("t"));
        QSignalSpy spy(&v, &TerminalView::sendInput);
        feed(v, received);
        QTest::keyClick(v.terminalEdit(), Qt::Key_Down);
        QTEST(sent(spy), "down");
    }

    void localEchoFollowsWaitingLines_data()
    {
        QTest::addColumn<bool>("paste");
        QTest::newRow("typed") << false;
        QTest::newRow("pasted") << true;
    }
    void localEchoFollowsWaitingLines()
    {
        QFETCH(bool, paste);
        TerminalView v(QStringLiteral("s4"), QStringLiteral("t"));
        TerminalEdit *e = v.terminalEdit();
        e->keys.localEcho = true;
        // The flood's frame never ends by itself here.
        v.engine()->setFrameInterval(1 << 30);
        QByteArray flood;
        for (int i = 0; i < 2 * TerminalEngine::FloodLines; ++i)
            flood += "line " + QByteArray::number(i) + "\r\n";
        v.appendData(flood); // drawn at once, up to the frame's end
        QVERIFY(v.engine()->lineRenderer().waitingLines() > 0);
        if (paste)
            QApplication::clipboard()->setText(QStringLiteral("x"));
        QTest::keyClick(e, paste ? Qt::Key_V : Qt::Key_X, paste ? Qt::ControlModifier : Qt::NoModifier);
        feed(v, {});
        const QTextBlock last = e->document()->lastBlock();
        QCOMPARE(last.text(), QStringLiteral("x"));
        QCOMPARE(last.previous().text(), QStringLiteral("line %1").arg(2 * TerminalEngine::FloodLines - 1));
    }

    void areaTabs()
    {
        TerminalArea area;
        QSignalSpy activated(&area, &TerminalArea::tabActivated);
        for (const char *id : {"a", "b", "c"})
            area.addTerminal(QLatin1String(id), QLatin1String(id), QStringLiteral("connecting"), QString());
        QCOMPARE(activated.size(), 2); // the first tab is current before its id is listed
        area.addTerminal(QStringLiteral("b"), QStringLiteral("other"), QString(), QString());
        QCOMPARE(area.currentView(), area.view(QStringLiteral("b")));
        QPointer<TerminalView> middle = area.view(QStringLiteral("b"));
        activated.clear();
        area.closeTab(QStringLiteral("b"));
        QCOMPARE(activated.last().at(0).toString(), QStringLiteral("c"));
        area.closeTab(QStringLiteral("nobody"));
        QCOMPARE(area.sessionIds(), QStringList({"a", "c"}));
        QTRY_VERIFY(middle.isNull());
    }
};

QTEST_MAIN(TestTerminalView)
#include "tst_terminalview.moc"
