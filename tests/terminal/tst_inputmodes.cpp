// The terminal's input modes: programs set them on either screen, and the
// key, paste and mouse encoders follow them whichever screen is shown.
#include "termtest.h"

#include "terminal/keyinput.h"
#include "terminal/terminalengine.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QTextDocument>

using termtest::esc;
using Action = InputModes::MouseAction;

Q_DECLARE_METATYPE(InputModes::MouseAction)
Q_DECLARE_METATYPE(Qt::KeyboardModifiers)

namespace {

struct Terminal
{
    QTextDocument doc;
    TerminalEngine engine{&doc};
    KeyInput keys;

    Terminal()
    {
        engine.setTerminalSize(80, 24);
        keys.specialKeys = true;
        keys.modes = engine.inputModes();
    }
    // Bytes as a connection hands them over, cut at random places.
    void receive(const QByteArray &bytes, QRandomGenerator &rng)
    {
        for (qsizetype at = 0, n = 0; at < bytes.size(); at += n)
            engine.receiveText(engine.decodeReceived(bytes.mid(at, n = rng.bounded(1, 17))));
    }
    QByteArray paste(const QString &text)
    {
        keys.altScreenActive = engine.grid() != nullptr;
        return keys.paste(text).bytes;
    }
    QByteArray key(int key) { return keys.keyPress(key, Qt::NoModifier, QString()).bytes; }
    QByteArray mouse(Action action, int button, int col, int row)
    {
        return engine.inputModes()->mouseReport(action, button, Qt::NoModifier, col, row);
    }
};

QString describe(const InputModes &m)
{
    static const char *const tracking[] = {"off", "press", "press-release", "button-motion", "any-motion"};
    static const char *const encoding[] = {"normal", "utf8", "sgr", "urxvt"};
    QStringList on;
    if (m.appCursorKeys)
        on << QStringLiteral("cursor-keys");
    if (m.appKeypad)
        on << QStringLiteral("keypad");
    if (m.bracketedPaste)
        on << QStringLiteral("paste");
    on << QStringLiteral("mouse %1/%2").arg(QLatin1String(tracking[int(m.mouseTracking)]),
                                            QLatin1String(encoding[int(m.mouseEncoding)]));
    return on.join(u' ');
}

QByteArray recording(const char *name)
{
    QFile f(QStringLiteral(HV_SOURCE_DIR "/tests/terminal/programs/") + QLatin1String(name));
    if (!f.open(QIODevice::ReadOnly))
        qFatal("recording %s is missing: run tests/terminal/programs/record.py", name);
    return f.readAll();
}

} // namespace

class TestInputModes : public QObject
{
    Q_OBJECT

private slots:
    // mc leaves the alternate screen once while it starts and asks for the
    // mouse and bracketed paste in line mode, before it enters it again:
    // the grid it then draws on still pastes bracketed and reports the
    // mouse as asked. Quitting hands back a plain line-mode terminal.
    void mcSession()
    {
        const QByteArray start = recording("mc_start.bin"), quit = recording("mc_quit.bin");
        for (quint32 seed = 1; seed <= 20; ++seed) {
            QRandomGenerator rng(seed);
            Terminal t;
            t.receive(start, rng);
            QVERIFY2(t.engine.grid(), "mc's screen is not shown");
            QCOMPARE(t.paste(QStringLiteral("ls\nx")), QByteArray("\x1b[200~ls\nx\x1b[201~"));
            QCOMPARE(t.key(Qt::Key_Down), QByteArray("\x1bOB"));
            QCOMPARE(t.mouse(Action::Press, 0, 4, 2), QByteArray("\x1b[<0;5;3M"));
            QCOMPARE(t.mouse(Action::Motion, 0, 5, 2), QByteArray("\x1b[<32;6;3M"));
            QCOMPARE(t.mouse(Action::Release, 0, 5, 2), QByteArray("\x1b[<0;6;3m"));
            QCOMPARE(t.mouse(Action::Motion, 3, 6, 2), QByteArray()); // no button held

            t.receive(quit, rng);
            QVERIFY(!t.engine.grid());
            QCOMPARE(describe(*t.engine.inputModes()), QStringLiteral("mouse off/normal"));
            QCOMPARE(t.paste(QStringLiteral("ls\nx")), QByteArray("ls\nx"));
            QCOMPARE(t.key(Qt::Key_Down), QByteArray("\x1b[B"));
            QCOMPARE(t.mouse(Action::Press, 0, 4, 2), QByteArray());
        }
    }

    // Chunks separated by "|" go in one by one, from line mode; then the
    // modes and whether the grid is shown.
    void acrossScreens_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("modes");
        QTest::addColumn<bool>("grid");
        const QString none = QStringLiteral("mouse off/normal");
        QTest::newRow("line mode's modes reach the grid") << esc("\\e[?2004h\\e[?1h\\e[?1000h|\\e[?1049h")
                                                        << "cursor-keys paste mouse press-release/normal" << true;
        QTest::newRow("the grid's modes outlive it") << esc("\\e[?1049h\\e[?2004h\\e[?1002h\\e[?1015h\\e[?1049l")
                                                     << "paste mouse button-motion/urxvt" << false;
        QTest::newRow("a new grid keeps the last one's") << esc("\\e[?1049h\\e[?1h\\e[?1049l|\\e[?1049h")
                                                         << "cursor-keys mouse off/normal" << true;
        QTest::newRow("reset in line mode") << esc("\\e[?1049h\\e[?2004;1h\\e[?1049l\\e[?2004l") << "cursor-keys mouse off/normal"
                                            << false;
        QTest::newRow("set with the switch") << esc("\\e[?2004;1049;1h") << "cursor-keys paste mouse off/normal" << true;
        QTest::newRow("split sequence") << esc("\\e[?20|04h") << "paste mouse off/normal" << false;
        QTest::newRow("keypad in line mode") << esc("\\e=|x\\e>\\e=") << "keypad mouse off/normal" << false;
        QTest::newRow("full reset in line mode") << esc("\\e[?2004h\\e[?1h\\e=\\e[?1003h\\e[?1006h\\ec") << none << false;
        QTest::newRow("full reset on the grid") << esc("\\e[?2004h\\e[?1049h\\e[?1h\\e[?1003h\\ec") << none << true;
        QTest::newRow("last tracking set wins") << esc("\\e[?1000h\\e[?1003h") << "mouse any-motion/normal" << false;
        QTest::newRow("resetting another tracking") << esc("\\e[?1003h\\e[?1000l") << "mouse any-motion/normal" << false;
        QTest::newRow("resetting the tracking") << esc("\\e[?1049h\\e[?1002h\\e[?1049l\\e[?1002l") << none << false;
        QTest::newRow("last encoding set wins") << esc("\\e[?1006h\\e[?1015h") << "mouse off/urxvt" << false;
        QTest::newRow("other private modes") << esc("\\e[?12h\\e[?1001s\\e[?7l\\e[?25l") << none << false;
    }
    void acrossScreens()
    {
        QFETCH(QString, input);
        Terminal t;
        for (const QString &chunk : input.split(u'|'))
            t.engine.receiveText(chunk);
        QTEST(describe(*t.engine.inputModes()), "modes");
        QTEST(t.engine.grid() != nullptr, "grid");
    }

    // Modes set by a sequence, then one mouse event and its report.
    void mouseReports_data()
    {
        QTest::addColumn<QString>("modes");
        QTest::addColumn<Action>("action");
        QTest::addColumn<int>("button");
        QTest::addColumn<Qt::KeyboardModifiers>("mods");
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("row");
        QTest::addColumn<QByteArray>("report");
        const Qt::KeyboardModifiers none;
        const Qt::KeyboardModifiers ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
        QTest::newRow("no tracking") << "" << Action::Press << 0 << none << 0 << 0 << QByteArray();
        QTest::newRow("press") << "1000" << Action::Press << 0 << none << 0 << 0 << QByteArray("\x1b[M !!");
        QTest::newRow("release") << "1000" << Action::Release << 2 << none << 1 << 2 << QByteArray("\x1b[M#\"#");
        QTest::newRow("motion unasked") << "1000" << Action::Motion << 0 << none << 0 << 0 << QByteArray();
        QTest::newRow("drag") << "1002" << Action::Motion << 0 << none << 3 << 0 << QByteArray("\x1b[M@$!");
        QTest::newRow("hover unasked") << "1002" << Action::Motion << 3 << none << 3 << 0 << QByteArray();
        QTest::newRow("hover") << "1003" << Action::Motion << 3 << none << 3 << 0 << QByteArray("\x1b[MC$!");
        QTest::newRow("oldest: no modifiers") << "9" << Action::Press << 0 << ctrlShift << 0 << 0 << QByteArray("\x1b[M !!");
        QTest::newRow("modifiers") << "1000" << Action::Press << 2 << ctrlShift << 0 << 0 << QByteArray("\x1b[M6!!");
        QTest::newRow("wheel up") << "1000" << Action::Press << 4 << none << 0 << 0 << QByteArray("\x1b[M`!!");
        QTest::newRow("column past a byte") << "1000" << Action::Press << 0 << none << 223 << 0 << QByteArray();
        QTest::newRow("utf8 wide column") << "1000;1005" << Action::Press << 0 << none << 300 << 0 << QByteArray("\x1b[M \xc5\x8d!");
        QTest::newRow("sgr release keeps button") << "1000;1006" << Action::Release << 2 << none << 9 << 4 << QByteArray("\x1b[<2;10;5m");
        QTest::newRow("sgr far column") << "1002;1006" << Action::Press << 0 << none << 2000 << 0 << QByteArray("\x1b[<0;2001;1M");
        QTest::newRow("urxvt") << "1000;1015" << Action::Release << 0 << none << 0 << 0 << QByteArray("\x1b[35;1;1M");
        QTest::newRow("encoding after tracking off") << "1000;1006;1000l" << Action::Press << 0 << none << 0 << 0 << QByteArray();
    }
    void mouseReports()
    {
        QFETCH(QString, modes);
        QFETCH(Action, action);
        QFETCH(int, button);
        QFETCH(Qt::KeyboardModifiers, mods);
        QFETCH(int, col);
        QFETCH(int, row);
        Terminal t;
        for (const QString &mode : modes.split(u';', Qt::SkipEmptyParts))
            t.engine.receiveText(QStringLiteral("\x1b[?%1%2").arg(mode.chopped(mode.endsWith(u'l'))).arg(QChar(mode.endsWith(u'l') ? u'l' : u'h')));
        QTEST(t.engine.inputModes()->mouseReport(action, button, mods, col, row), "report");
    }
};

QTEST_GUILESS_MAIN(TestInputModes)
#include "tst_inputmodes.moc"
