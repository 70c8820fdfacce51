// The screen grid against libvterm, an independent implementation of the
// same DEC VT sequences: same text, cursor, colours and flags on streams
// inside the grid's subset; deliberate differences are listed with the reason.
// Line mode against libvterm on what shells send while a command is edited.
#include "termtest.h"

#include "terminal/palette.h"
#include "terminal/terminalengine.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <vterm.h>

using termtest::esc;

namespace {

// A cell of libvterm's screen in the grid's terms.
struct Cell
{
    QString ch; // empty for the right half of a wide character
    QRgb fg = 0, bg = 0;
    int flags = 0; // TextAttributes flags but dim, which libvterm does not keep
    bool brokenHalf = false; // part of a wide character that was partly overwritten
};

// libvterm's screen: the cells, and the text as termtest::screenText gives it.
struct Screen
{
    QList<QList<Cell>> rows;
    QString text;
};

QRgb vtermRgb(const VTermColor &c, bool isBackground)
{
    if (isBackground ? VTERM_COLOR_IS_DEFAULT_BG(&c) : VTERM_COLOR_IS_DEFAULT_FG(&c))
        return 0;
    return VTERM_COLOR_IS_INDEXED(&c) ? paletteRgb(c.indexed.idx) : qRgb(c.rgb.red, c.rgb.green, c.rgb.blue);
}

// A libvterm screen fed piece by piece, resized in between.
class Vterm
{
public:
    Vterm(int cols, int rows, bool altScreen = false) : vt(vterm_new(rows, cols))
    {
        vterm_set_utf8(vt, 1);
        screen = vterm_obtain_screen(vt);
        vterm_screen_reset(screen, 1);
        vterm_screen_enable_altscreen(screen, altScreen);
    }
    ~Vterm() { vterm_free(vt); }
    Vterm(const Vterm &) = delete;
    Vterm &operator=(const Vterm &) = delete;

    void write(const QByteArray &bytes)
    {
        vterm_input_write(vt, bytes.constData(), size_t(bytes.size()));
        char sink[256];
        while (vterm_output_read(vt, sink, sizeof sink) > 0) {
        }
    }
    void resize(int cols, int rows) { vterm_set_size(vt, rows, cols); }
    Screen screenNow() const;

private:
    VTerm *vt;
    VTermScreen *screen;
};

Screen Vterm::screenNow() const
{
    int rows = 0, cols = 0;
    vterm_get_size(vt, &rows, &cols);
    Screen s;
    QStringList lines;
    const auto cellAt = [&](int r, int c) {
        VTermScreenCell cell;
        vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
        return cell;
    };
    for (int r = 0; r < rows; ++r) {
        QList<Cell> &row = s.rows.emplaceBack();
        lines << QString();
        bool rightHalf = false;
        for (int c = 0; c < cols; ++c) {
            const VTermScreenCell cell = cellAt(r, c);
            const QString ch = cell.chars[0] && cell.chars[0] != uint32_t(-1)
                ? QString::fromUcs4(reinterpret_cast<const char32_t *>(&cell.chars[0]), 1) : QString();
            // A narrow character written over the left half of a wide one keeps width 2 in libvterm:
            // it is one cell wide all the same. libvterm keeps a wide character whose right half was
            // overwritten; the grid blanks it (see the differences below).
            bool orphan = cell.width == 2 && displayWidth(ch) < 2;
            if (cell.width == 2 && c + 1 < cols && !orphan) {
                const uint32_t next = cellAt(r, c + 1).chars[0];
                orphan = next != 0 && next != uint32_t(-1);
            }
            const int flags = (cell.attrs.bold ? TextAttributes::Bold : 0) | (cell.attrs.underline ? TextAttributes::Underline : 0)
                              | (cell.attrs.italic ? TextAttributes::Italic : 0) | (cell.attrs.reverse ? TextAttributes::Inverse : 0)
                              | (cell.attrs.strike ? TextAttributes::Strike : 0);
            row.append({rightHalf ? QString() : !ch.isEmpty() && !(orphan && displayWidth(ch) == 2) ? ch : QStringLiteral(" "),
                        vtermRgb(cell.fg, false), vtermRgb(cell.bg, true), flags,
                        orphan || (!rightHalf && cell.chars[0] == uint32_t(-1))});
            lines.last() += row.last().ch;
            rightHalf = cell.width == 2 && !orphan;
        }
    }
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt), &pos);
    s.text = termtest::screenText(lines, pos.row, pos.col);
    return s;
}

Screen viaVterm(const QString &input, int cols, int rows)
{
    Vterm vt(cols, rows);
    vt.write(input.toUtf8());
    return vt.screenNow();
}

// Same text and cursor, then the first difference in colours or flags. The
// pen of an erased cell is only compared by its background: libvterm keeps
// the whole pen on erased cells, the grid's erase blank the background only.
// The right half of a wide character is skipped: libvterm keeps no pen there.
// The grid gets the input in two pieces, cut at `split`.
void compareWithVterm(const QString &input, int cols, int rows, int split = 0)
{
    ScreenGrid g(cols, rows);
    g.feed(input.left(split));
    g.feed(input.mid(split));
    const Screen theirs = viaVterm(input, cols, rows);
    QCOMPARE(termtest::screenText(g), theirs.text);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const ScreenCell &x = g.cellAt(r, c);
            const TextAttributes &a = x.attributes;
            const Cell &y = theirs.rows[r][c];
            const int flags = a.flags & ~TextAttributes::Dim;
            if (x.width != 0 && !y.brokenHalf && (a.background != y.bg || (!QChar(x.ch).isSpace() && (a.foreground != y.fg || flags != y.flags))))
                QFAIL(qPrintable(QStringLiteral("cell %1,%2 '%3': fg %4/%5 bg %6/%7 flags %8/%9").arg(r).arg(c).arg(QChar(x.ch))
                                     .arg(a.foreground, 0, 16).arg(y.fg, 0, 16).arg(a.background, 0, 16).arg(y.bg, 0, 16).arg(flags).arg(y.flags)));
        }
    }
}

// Line mode against libvterm's screen: the document's last rows (as many as
// libvterm shows text on) and the cursor's column. The row is not compared:
// line mode's document goes on above the screen.
void compareLineMode(const QTextDocument &doc, int col, const QString &theirs)
{
    QStringList rows;
    for (QTextBlock b = doc.firstBlock(); b.isValid(); b = b.next())
        rows << b.text();
    const QString ours = termtest::screenText(rows, 0, col - 1);
    const int shown = int(theirs.section(QStringLiteral(" @"), 0, 0).count(u'|')) + 1;
    QCOMPARE(ours.section(u'|', -shown).section(QStringLiteral(" @"), 0, 0) + ours.section(u',', -1),
             theirs.section(QStringLiteral(" @"), 0, 0) + theirs.section(u',', -1));
}

// A recording of the recorders below this folder: per segment a line
// "@ COLSxROWS LENGTH" and the LENGTH bytes that came at that size.
struct Segment
{
    int cols, rows;
    QByteArray bytes;
};

QList<Segment> readSegments(const QString &path)
{
    QList<Segment> segments;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        QTest::qFail(qPrintable(QStringLiteral("cannot read ") + path), __FILE__, __LINE__);
        return segments;
    }
    while (!f.atEnd()) {
        const QList<QByteArray> head = f.readLine().trimmed().split(' ');
        const QList<QByteArray> size = head.value(1).split('x');
        if (head.size() != 3 || head[0] != "@" || size.size() != 2) {
            QTest::qFail(qPrintable(QStringLiteral("bad segment head in ") + path), __FILE__, __LINE__);
            return {};
        }
        segments.append({size[0].toInt(), size[1].toInt(), f.read(head[2].toInt())});
        if (segments.last().bytes.size() != head[2].toInt()) {
            QTest::qFail(qPrintable(QStringLiteral("short segment in ") + path), __FILE__, __LINE__);
            return {};
        }
    }
    return segments;
}

// A random stream in the common subset, of three kinds: wide characters with
// line-wise moves only; scroll regions without vertical moves and ICH/DCH;
// everything else on narrow text without autowrap. What is left out is where
// libvterm deliberately differs (margins, writes over half a wide character).
enum class StreamKind { Wide, Regions, Moves };

QString randomStream(QRandomGenerator &rng, int tokens, StreamKind kind)
{
    static const char *const narrow[] = {"a", "hello", "x y", "0123456789", "\r\n", "\r", "\n"};
    static const char *const wide[] = {"中", "文字", "a", "x y", "\r\n", "\r", "\r\n"};
    static const char *const strings[] = {"\e]0;t\a", "\e]2;x\e\\", "\eP1$qm\e\\", "\eP0;1|17/ab\e\\"};
    const bool regions = kind == StreamKind::Regions, moves = kind == StreamKind::Moves;
    const auto num = [&](int lo, int hi) { return QString::number(rng.bounded(lo, hi + 1)); };
    const auto pick = [&](const char16_t *finals, int n) { return QChar(finals[rng.bounded(n)]); };
    const QString csi = esc("\e[");
    // LF and HT clear a pending wrap here and not in libvterm (listed below):
    // streams with free cursor moves run without autowrap.
    QString s = moves ? esc("\e[?7l") : QString();
    for (int t = 0; t < tokens; ++t) {
        const int choice = rng.bounded(16);
        if (choice < 5) // wide text goes into erased cells only: no wide character is half overwritten
            s += kind == StreamKind::Wide ? esc("\e[K") + QString::fromUtf8(wide[rng.bounded(7)]) : QString::fromUtf8(narrow[rng.bounded(7)]);
        else if (choice == 5)
            s += moves ? csi + num(0, 12) + u';' + num(0, 35) + u'H' : csi + num(0, 12) + u'H';
        else if (choice == 6 && moves)
            s += csi + num(0, 5) + pick(u"ABCD", 4);
        else if (choice == 6 && !regions)
            s += csi + num(0, 5) + pick(u"AB", 2) + u'\r';
        else if (choice == 7)
            s += csi + num(0, 2) + pick(u"JK", 2);
        else if (choice == 8 && moves)
            s += csi + num(0, 6) + pick(u"X@P", 3);
        else if (choice == 9) // IL/DL home the column here, not in libvterm: CR makes both agree
            s += csi + num(0, 4) + pick(u"LM", 2) + u'\r';
        else if (choice == 10 && regions) {
            const int top = rng.bounded(1, 6);
            s += csi + QString::number(top) + u';' + QString::number(rng.bounded(top + 1, 11)) + u'r';
        } else if (choice == 11)
            s += csi + QString::number(30 + rng.bounded(8)) + u';' + QString::number(40 + rng.bounded(8)) + u'm';
        else if (choice == 12)
            s += csi + QString::number(QList<int>{0, 1, 3, 4, 7, 9, 22, 23, 24, 27, 29, 39, 49}[rng.bounded(13)]) + u'm';
        else if (choice == 13)
            s += esc("\e[38;5;") + num(0, 255) + u'm';
        else if (choice == 14)
            s += esc("\e[48;2;") + num(0, 255) + u';' + num(0, 255) + u';' + num(0, 255) + u'm';
        else if (choice == 15)
            s += moves ? QString(pick(u"\t\b", 2)) : esc(strings[rng.bounded(4)]);
    }
    return s;
}

} // namespace

class TestVtermDiff : public QObject
{
    Q_OBJECT

private slots:
    // Beyond what the random streams below cover.
    void sameAsVterm_data()
    {
        QTest::addColumn<QString>("input");
        QTest::newRow("print and wrap") << QStringLiteral("The quick brown fox jumps over the lazy dog. ").repeated(3);
        QTest::newRow("pending wrap then CR") << esc("0123456789012345678901234567890123456789\rX");
        QTest::newRow("scroll region") << esc("\e[2;4r\e[4;1Hx\ny\nz\n") + QStringLiteral("w");
        QTest::newRow("wide") << QStringLiteral("中文字符和英文mixed中文字符和英文mixed中文字符");
        QTest::newRow("wrapped rows moved by a region, IL and DL") << QString(45, u'w') + esc("\e[3;6r\e[3;1H") + QString(40, u'v')
                                                                  + esc("\e[6;1H\n\n\e[4;1H\e[L\r\e[2M\r\e[3;1H\eMend");
        QTest::newRow("controls inside sequences") << esc("ab\e[2\rCx\e[1;\n5Hy\e(\bBz");
        QTest::newRow("DCS") << esc("a\eP1$qm\e\\b\eP+q544e\e\\c\ePq\e[2Cd");
        QTest::newRow("OSC by BEL and ST") << esc("a\e]0;t\ab\e]8;;http://x\e\\c\e]2;\e[31md");
        QTest::newRow("CAN and SUB") << esc("a\e[2\x18" "Cb\eP1\x1a" "c\e]0;\x18" "d");
        // Selective erase on a screen without protected cells, with a background to erase with.
        const QString filled = esc("\e[41m") + QStringLiteral("0123456789").repeated(9) + esc("\e[2;15H\e[42m");
        for (const char *erase : {"\e[?J", "\e[?0J", "\e[?1J", "\e[?2J", "\e[?K", "\e[?1K", "\e[?2K", "\e[?5J\e[?3K"})
            QTest::addRow("selective %s", erase + 2) << filled + esc(erase) + QStringLiteral("x");
    }
    void sameAsVterm()
    {
        QFETCH(QString, input);
        compareWithVterm(input, 30, 10);
    }

    // The line-drawing set, fed whole and cut at every unit: a designation,
    // SO and SI and a saved cursor keep their meaning across the cut.
    void lineDrawingAsVterm_data()
    {
        QTest::addColumn<QString>("input");
        QTest::newRow("G0, every symbol but _ y z, then ASCII again")
            << esc("\e(0`abcdefghijklmnopqrstuvwx{|}~\e(B`ax{");
        QTest::newRow("box with a pen") << esc("\e[31;44m\e(0lqqk\e(B\r\n\e(0x\e(Bhi\e(0x\e(B\r\n\e(0mqqj\e(B\e[mok");
        QTest::newRow("G1 by SO, G0 by SI") << esc("\e)0a\x0eqqk\x0fqq\x0eq");
        QTest::newRow("SO without a designated G1 stays ASCII") << esc("\x0eqx\x0fqx");
        QTest::newRow("G0 redesignated while G1 is in use") << esc("\e)0\e(B\x0eq\e(0\e)Bq\x0fq");
        QTest::newRow("digits, wide and accented text pass through") << esc("\e(0q~012 中é\e(B");
        QTest::newRow("autowrap in the last column") << esc("\e(0") + QString(32, u'q') + esc("\e(B");
        QTest::newRow("controls inside the designation") << esc("ab\e(\b0q\e(\r\nBq");
        QTest::newRow("ESC 7 / ESC 8 move back with the set unchanged") << esc("\e(0q\e7qq\e8x\e(B\e7x\e8q");
        QTest::newRow("ESC 7 / ESC 8 with G1 in use") << esc("\e)0\x0eq\e7qq\e8x");
        QTest::newRow("RIS ends the set") << esc("\e(0\e)0\x0eq\ecq");
    }
    void lineDrawingAsVterm()
    {
        QFETCH(QString, input);
        for (int split = 0; split <= input.size(); ++split) {
            compareWithVterm(input, 30, 10, split);
            if (QTest::currentTestFailed())
                return qWarning("cut at unit %d", split);
        }
    }

    // curses drawing a framed window (with ESC ( 0, and with SO and SI), mc
    // drawing its panels and tput drawing a box without the alternate screen
    // (boxes/record.py): fed to the engine in small pieces, the screen is
    // libvterm's after each step, and the box really is drawn with lines.
    void boxesAsVterm_data()
    {
        QTest::addColumn<QString>("recording");
        for (const char *name : {"curses_xterm", "curses_screen", "mc", "tput_xterm", "tput_vt100"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void boxesAsVterm()
    {
        QFETCH(QString, recording);
        const QList<Segment> steps = readSegments(QStringLiteral(HV_SOURCE_DIR "/tests/terminal/boxes/") + recording + QStringLiteral(".bin"));
        QVERIFY(!steps.isEmpty());
        QTextDocument doc;
        TerminalEngine engine(&doc);
        engine.setTerminalSize(steps[0].cols, steps[0].rows);
        Vterm theirs(steps[0].cols, steps[0].rows, true);
        QRandomGenerator rng(11);
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const QByteArray &bytes = steps[i].bytes;
            for (int at = 0, n = 0; at < bytes.size(); at += n)
                engine.receiveText(engine.decodeReceived(bytes.mid(at, n = rng.bounded(1, 12))));
            theirs.write(bytes);
            const QString vterm = theirs.screenNow().text;
            if (i == 0)
                QVERIFY2(vterm.contains(u'┌') && vterm.contains(u'─') && vterm.contains(u'┘'), qPrintable(vterm));
            if (engine.grid())
                QCOMPARE(termtest::screenText(*engine.grid()), vterm);
            else
                compareLineMode(doc, engine.lineRenderer().col, vterm);
        }
    }

    void randomStreams()
    {
        QRandomGenerator rng(qEnvironmentVariableIntValue("HV_VTERM_SEED") ? qEnvironmentVariableIntValue("HV_VTERM_SEED") : 4242);
        for (int i = 0; i < 300; ++i) {
            const QString input = randomStream(rng, 60, StreamKind(i % 3));
            compareWithVterm(input, 30, 10);
            if (QTest::currentTestFailed())
                return qWarning("stream %d: %s", i, input.toUtf8().toPercentEncoding(" []").constData());
        }
    }

    // bash and zsh editing a command line at 40x12 (recorded by
    // shells/record.py): line mode, fed in small pieces, ends with the
    // lines and the cursor column of a terminal of that size.
    void shellEditsAsVterm_data()
    {
        QTest::addColumn<QByteArray>("stream");
        const QDir dir(QStringLiteral(HV_SOURCE_DIR "/tests/terminal/shells"));
        const QStringList files = dir.entryList({QStringLiteral("*.bin")});
        QVERIFY2(files.size() >= 18, qPrintable(dir.path()));
        for (const QString &name : files) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(name.chopped(4))) << f.readAll();
        }
    }
    void shellEditsAsVterm()
    {
        QFETCH(QByteArray, stream);
        QTextDocument doc;
        TerminalEngine engine(&doc);
        engine.setTerminalSize(40, 12);
        QRandomGenerator rng(5);
        for (int at = 0, n = 0; at < stream.size(); at += n)
            engine.receiveText(engine.decodeReceived(stream.mid(at, n = rng.bounded(1, 12))));
        compareLineMode(doc, engine.lineRenderer().col, viaVterm(QString::fromUtf8(stream), 40, 12).text);
    }

    // vim and a curses program recorded while their terminal shrank (both
    // ways, then the height only) and grew (resizes/record.py). The engine
    // and libvterm (alternate screen on) get the bytes in small pieces and
    // the sizes at the same points: both show the same screen right after
    // each resize (rows kept from the top, the cursor on the screen) and
    // after each redraw. With a lag, the last bytes of a size arrive after
    // the next size, as bytes still in flight when the window is resized do.
    void resizesAsVterm_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("lag");
        for (const char *program : {"vim", "curses"}) {
            QTest::addRow("%s", program) << QString::fromLatin1(program) << 0;
            QTest::addRow("%s, bytes in flight", program) << QString::fromLatin1(program) << 64;
        }
    }
    void resizesAsVterm()
    {
        QFETCH(QString, program);
        QFETCH(int, lag);
        const QList<Segment> steps = readSegments(QStringLiteral(HV_SOURCE_DIR "/tests/terminal/resizes/") + program + QStringLiteral(".bin"));
        QVERIFY(steps.size() >= 4);
        QTextDocument doc;
        TerminalEngine engine(&doc);
        Vterm theirs(steps[0].cols, steps[0].rows, true);
        QRandomGenerator rng(7);
        const auto feed = [&](const QByteArray &bytes) {
            for (int at = 0, n = 0; at < bytes.size(); at += n)
                engine.receiveText(engine.decodeReceived(bytes.mid(at, n = rng.bounded(1, 40))));
            theirs.write(bytes);
        };
        QByteArray late;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Segment &step = steps[i];
            engine.setTerminalSize(step.cols, step.rows);
            theirs.resize(step.cols, step.rows);
            feed(std::exchange(late, QByteArray()));
            // The screen as the resize left it, before the program redraws.
            if (i > 0)
                QCOMPARE(termtest::screenText(*engine.grid()), theirs.screenNow().text);
            const QByteArray now = i + 1 < steps.size() ? step.bytes.chopped(qMin(lag, int(step.bytes.size()))) : step.bytes;
            feed(now);
            late = step.bytes.mid(now.size());
            QVERIFY(engine.grid());
            QCOMPARE(engine.grid()->columnCount(), step.cols);
            QCOMPARE(engine.grid()->rowCount(), step.rows);
            QCOMPARE(termtest::screenText(*engine.grid()), theirs.screenNow().text);
        }
    }

    // Deliberate differences, named by the reason: the grid's own screen.
    void expectedDifferences_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("grid");
        QTest::newRow("ED 3 clears the screen here; libvterm clears only the scroll-back") << esc("abc\e[3J") << " @0,3";
        QTest::newRow("APC, PM and SOS strings are skipped up to ST here; libvterm 0.1.4 prints their payload")
            << esc("a\e_x\e\\b\e^y\e\\c\eXz\e\\d") << "abcd @0,4";
        QTest::newRow("BEL ends only an OSC here; libvterm ends a DCS with it too") << esc("a\eP+q\ab\e\\c") << "ac @0,2";
        QTest::newRow("IL and DL move to column 0 here; libvterm keeps the column") << esc("abcdef\e[1;4H\e[L") << "|abcdef @0,0";
        QTest::newRow("CUU/CUD inside the region stop at its margins (DEC VT); libvterm stops at the screen edge")
            << esc("\e[2;4r\e[2;1H\e[9Bx") << "|||x @3,1";
        QTest::newRow("ICH and DCH act on any row here; libvterm ignores them outside the scroll region")
            << esc("abc\e[3;9r\e[2@") << "  abc @0,0";
        QTest::newRow("writing over one half of a wide character blanks the other half; libvterm keeps the orphaned half")
            << esc("中文\e[1;2Hx") << " x文 @0,2";
        QTest::newRow("LF ends a pending wrap; libvterm keeps it when the LF scrolls, so the next character wraps once more")
            << esc("\e[10;26Hhello\n0123") << "|||||||                         hello|                             0|123 @9,3";
        QTest::newRow("CSI s / CSI u save and restore here (SCOSC/SCORC); libvterm 0.1.4 does not restore")
            << esc("ab\e[s\e[3;3H\e[ux") << "abx @0,3";
        QTest::newRow("_, y and z of the line-drawing set are a blank, ≤ and ≥ here; libvterm keeps _ and draws ⩽ and ⩾")
            << esc("\e(0_yz") << QStringLiteral("\u00A0≤≥ @0,3");
        // The terminal the sets come from keeps them with the cursor.
        QTest::newRow("ESC 7 / ESC 8 keep G0 here; libvterm 0.1.4 keeps only the cursor and the pen")
            << esc("\e(0\e7\e(B\e8q") << "─ @0,1";
        QTest::newRow("ESC 7 / ESC 8 keep SO and SI here; libvterm 0.1.4 does not")
            << esc("\e)0\x0e\e7\x0f\e8q") << "─ @0,1";
        QTest::newRow("ESC 8 restores ASCII saved before ESC ( 0 here; libvterm 0.1.4 keeps the line drawing")
            << esc("\e7\e(0\e8q") << "q @0,1";
        QTest::newRow("ASCII after other text goes through the set here; libvterm 0.1.4 prints it plain up to a control")
            << esc("\e(0é~q\bx") << "é·│ @0,3";
        QTest::newRow("a set not known here is ASCII; libvterm 0.1.4 keeps the set designated before")
            << esc("\e(0\e(5q") << "q @0,1";
    }
    void expectedDifferences()
    {
        QFETCH(QString, input);
        QFETCH(QString, grid);
        ScreenGrid g(30, 10);
        g.feed(input);
        QCOMPARE(termtest::screenText(g), grid);
        QVERIFY(grid != viaVterm(input, 30, 10).text);
    }
};

QTEST_MAIN(TestVtermDiff)
#include "tst_vtermdiff.moc"
