// The terminal drawn on a real X server: colours, wide characters and the
// cursor checked in the pixels of a grabbed view.
#include "terminal/palette.h"
#include "terminal/terminalengine.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QClipboard>
#include <QSignalSpy>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

namespace {

const QColor kBackground(0x1e, 0x1e, 0x1e);

struct Screen
{
    TerminalView view{QStringLiteral("px"), QStringLiteral("px")};
    TerminalEdit *edit = view.terminalEdit();

    Screen()
    {
        view.applyFont(QStringLiteral("DejaVu Sans Mono"), 13); // the default size
        view.resize(700, 420);
        view.show();
        QApplication::setActiveWindow(&view);
        edit->setFocus();
    }
    void feed(const QByteArray &bytes)
    {
        view.appendData(bytes);
        while (view.engine()->hasPendingData())
            view.engine()->drainReceived();
        QCoreApplication::processEvents();
    }
    // The cell box of a document position, in the grabbed picture's pixels.
    QRect cell(int block, int index) const
    {
        QTextCursor c(edit->document()->findBlockByNumber(block));
        c.setPosition(c.position() + index);
        const QRect left = edit->cursorRect(c);
        c.movePosition(QTextCursor::NextCharacter);
        const QRect right = edit->cursorRect(c);
        const QPoint origin = edit->viewport()->mapTo(&view, QPoint(0, 0));
        return QRect(left.topLeft() + origin, QSize(right.x() - left.x(), left.height()));
    }
    QImage grab(const char *name)
    {
        QCoreApplication::processEvents();
        const QImage img = view.grab().toImage();
        img.save(QStringLiteral(HV_BINARY_DIR "/terminal_pixels_%1.png").arg(QLatin1String(name)));
        return img;
    }
};

int inkColumns(const QImage &img, const QRect &box)
{
    int columns = 0;
    for (int x = box.left(); x <= box.right(); ++x) {
        for (int y = box.top(); y <= box.bottom(); ++y) {
            if (img.pixelColor(x, y) != kBackground) {
                ++columns;
                break;
            }
        }
    }
    return columns;
}

} // namespace

class TestTerminalPixels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != u"xcb")
            QFAIL("needs the xcb platform on an X server: run through xvfb-run");
        // A steady cursor, so that a grab always shows it.
        QApplication::setCursorFlashTime(0);
    }

    // On X11 an empty clipboard hands the paste (Shift+Insert, the menu's
    // Paste) no data at all.
    void pasteWithEmptyClipboard()
    {
        Screen s;
        QApplication::clipboard()->clear();
        QSignalSpy sent(&s.view, &TerminalView::sendInput);
        QTest::keyClick(s.edit, Qt::Key_Insert, Qt::ShiftModifier);
        s.edit->paste();
        QCOMPARE(sent.count(), 0);
    }

    void fullScreen()
    {
        Screen s;
        QVERIFY(QTest::qWaitForWindowExposed(&s.view));
        // In line mode too a wide character takes two cells: what follows stays in column.
        s.feed("ab|x\r\n\xe4\xb8\xad|x");
        QVERIFY(qAbs(s.cell(1, 1).x() - s.cell(0, 2).x()) <= 1);
        s.feed("\x1b[?1049h\x1b[2J\x1b[1;1H┌─┐\x1b[2;1H│\x1b[41m \x1b[0m│\x1b[3;1H└─┘\x1b[5;3H中文!\x1b[8;12H");
        QVERIFY(s.view.engine()->grid());
        const QImage img = s.grab("fullscreen");
        // The screen fits the view: nothing to scroll (the bar keeps its place).
        QCOMPARE(s.edit->verticalScrollBar()->maximum(), 0);
        QCOMPARE(img.pixelColor(s.cell(1, 1).center()), paletteColor(1));
        // Box drawing fills its cell to the edges: the line of row 1 meets its neighbours.
        const QRect bar = s.cell(0, 1);
        QVERIFY(inkColumns(img, bar) >= bar.width() - 1);
        // "!" after two wide characters stands in column 7 (index 6), like a
        // narrow character there on another row.
        const qreal cw = s.view.cellSize().width();
        QVERIFY(qAbs(s.cell(4, 4).x() - (s.cell(0, 0).x() + 6 * cw)) <= 1);
        // The cursor at row 8, column 12 shows as a light block there.
        const QRect cur = s.edit->cursorRect();
        const QPoint origin = s.edit->viewport()->mapTo(&s.view, QPoint(0, 0));
        QCOMPARE(s.edit->textCursor().blockNumber(), 7);
        QVERIFY(qAbs(cur.x() + origin.x() - (s.cell(0, 0).x() + 11 * cw)) <= 1);
        const QPoint inside = cur.translated(origin).topLeft() + QPoint(int(cw / 2), cur.height() / 2);
        QVERIFY2(img.pixelColor(inside).lightness() > 200, qPrintable(img.pixelColor(inside).name()));
        QCOMPARE(img.pixelColor(inside - QPoint(int(cw), 0)), kBackground);
    }
};

QTEST_MAIN(TestTerminalPixels)
#include "tst_terminalpixels.moc"
