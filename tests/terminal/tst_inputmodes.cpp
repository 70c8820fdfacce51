// The terminal's input modes: programs set them on either screen, and the
// key and paste encoders follow them whichever screen is shown.
#include "termtest.h"

#include "terminal/keyinput.h"
#include "terminal/terminalengine.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QTextDocument>

using termtest::esc;

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
};

QString describe(const InputModes &m)
{
    QStringList on;
    if (m.appCursorKeys)
        on << QStringLiteral("cursor-keys");
    if (m.appKeypad)
        on << QStringLiteral("keypad");
    if (m.bracketedPaste)
        on << QStringLiteral("paste");
    return on.isEmpty() ? QStringLiteral("none") : on.join(u' ');
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
    // mc leaves the alternate screen once while it starts and asks for
    // bracketed paste in line mode, before it enters it again: the grid it
    // then draws on still pastes bracketed. Quitting hands back a plain
    // line-mode terminal.
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

            t.receive(quit, rng);
            QVERIFY(!t.engine.grid());
            QCOMPARE(describe(*t.engine.inputModes()), QStringLiteral("none"));
            QCOMPARE(t.paste(QStringLiteral("ls\nx")), QByteArray("ls\nx"));
            QCOMPARE(t.key(Qt::Key_Down), QByteArray("\x1b[B"));
        }
    }

    // Chunks separated by "|" go in one by one, from line mode; then the
    // modes and whether the grid is shown.
    void acrossScreens_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("modes");
        QTest::addColumn<bool>("grid");
        const QString none = QStringLiteral("none");
        QTest::newRow("line mode's modes reach the grid") << esc("\\e[?2004h\\e[?1h|\\e[?1049h") << "cursor-keys paste" << true;
        QTest::newRow("the grid's modes outlive it") << esc("\\e[?1049h\\e[?2004h\\e=\\e[?1049l") << "keypad paste" << false;
        QTest::newRow("a new grid keeps the last one's") << esc("\\e[?1049h\\e[?1h\\e[?1049l|\\e[?1049h") << "cursor-keys" << true;
        QTest::newRow("reset in line mode") << esc("\\e[?1049h\\e[?2004;1h\\e[?1049l\\e[?2004l") << "cursor-keys" << false;
        QTest::newRow("set with the switch") << esc("\\e[?2004;1049;1h") << "cursor-keys paste" << true;
        QTest::newRow("split sequence") << esc("\\e[?20|04h") << "paste" << false;
        QTest::newRow("keypad in line mode") << esc("\\e=|x\\e>\\e=") << "keypad" << false;
        QTest::newRow("full reset in line mode") << esc("\\e[?2004h\\e[?1h\\e=\\ec") << none << false;
        QTest::newRow("full reset on the grid") << esc("\\e[?2004h\\e[?1049h\\e[?1h\\e=\\ec") << none << true;
        QTest::newRow("other private modes") << esc("\\e[?12h\\e[?1001s\\e[?7l\\e[?25l\\e[?1000;1006h") << none << false;
        QTest::newRow("other modes on the grid") << esc("\\e[?1049h\\e[?1002h\\e[?1003;1015h\\e[?9h\\e[?1005h") << none << true;
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
};

QTEST_GUILESS_MAIN(TestInputModes)
#include "tst_inputmodes.moc"
