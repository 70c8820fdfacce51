#include "terminal/keyinput.h"

#include <QTest>

Q_DECLARE_METATYPE(Qt::KeyboardModifiers)

class TestKeyInput : public QObject
{
    Q_OBJECT

private slots:
    // Key, modifiers and text as Qt delivers them for real X11 key events
    // (Delete carries the text DEL, the keypad's Delete none).
    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("mods");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("appCursor");
        QTest::addColumn<QByteArray>("bytes");
        const Qt::KeyboardModifiers none, ctrl(Qt::ControlModifier), alt(Qt::AltModifier);
        QTest::newRow("delete") << int(Qt::Key_Delete) << none << "\x7f" << false << QByteArray("\x1b[3~");
        QTest::newRow("ctrl delete") << int(Qt::Key_Delete) << ctrl << "\x7f" << false << QByteArray("\x1b[3~");
        QTest::newRow("keypad delete") << int(Qt::Key_Delete) << Qt::KeyboardModifiers(Qt::KeypadModifier) << "" << false << QByteArray("\x1b[3~");
        QTest::newRow("up") << int(Qt::Key_Up) << none << "" << false << QByteArray("\x1b[A");
        QTest::newRow("up app") << int(Qt::Key_Up) << none << "" << true << QByteArray("\x1bOA");
        QTest::newRow("ctrl c without text") << int(Qt::Key_C) << ctrl << "" << false << QByteArray("\x03");
        QTest::newRow("ctrl c with letter") << int(Qt::Key_C) << ctrl << "c" << false << QByteArray("\x03");
        QTest::newRow("ctrl space") << int(Qt::Key_Space) << ctrl << QString(QChar(0)) << false << QByteArray(1, '\0');
        QTest::newRow("ctrl [") << int(Qt::Key_BracketLeft) << ctrl << "\x1b" << false << QByteArray("\x1b");
        QTest::newRow("alt b") << int(Qt::Key_B) << alt << "b" << false << QByteArray("\x1b" "b");
        QTest::newRow("ctrl alt x") << int(Qt::Key_X) << (ctrl | alt) << "\x18" << false << QByteArray("\x1b\x18");
        QTest::newRow("escape") << int(Qt::Key_Escape) << none << "\x1b" << false << QByteArray("\x1b");
        QTest::newRow("utf-8 text") << int(Qt::Key_unknown) << none << "é" << false << QByteArray("\xc3\xa9");
        QTest::newRow("shift alone") << int(Qt::Key_Shift) << none << "" << false << QByteArray();
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, mods);
        QFETCH(QString, text);
        QFETCH(bool, appCursor);
        QFETCH(QByteArray, bytes);
        KeyInput in;
        in.specialKeys = true;
        InputModes modes;
        modes.appCursorKeys = appCursor;
        in.modes = &modes;
        QCOMPARE(in.keyPress(key, mods, text).bytes, bytes);
    }

    void backspace_data()
    {
        QTest::addColumn<bool>("bs08");
        QTest::addColumn<bool>("localEcho");
        QTest::addColumn<bool>("ptyEcho");
        QTest::addColumn<int>("lastCharBytes");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("eraseEcho");
        QTest::newRow("DEL") << false << false << false << 3 << QByteArray("\x7f") << -1;
        QTest::newRow("BS ascii") << true << false << false << 1 << QByteArray("\x08") << 0;
        QTest::newRow("BS after CJK") << true << false << false << 3 << QByteArray("\x08\x08\x08") << 2;
        QTest::newRow("BS local echo") << true << true << false << 3 << QByteArray("\x08\x08\x08") << -1;
        QTest::newRow("BS pty echo") << true << false << true << 2 << QByteArray("\x08\x08") << -1;
    }
    void backspace()
    {
        QFETCH(bool, bs08);
        QFETCH(bool, localEcho);
        QFETCH(bool, ptyEcho);
        QFETCH(int, lastCharBytes);
        KeyInput in;
        in.bs08 = bs08;
        in.localEcho = localEcho;
        in.ptyEcho = ptyEcho;
        in.typedLine = QStringLiteral("a😀");
        const KeyAction a = in.keyPress(Qt::Key_Backspace, {}, QStringLiteral("\x08"), lastCharBytes);
        QTEST(a.bytes, "bytes");
        QTEST(a.eraseEcho, "eraseEcho");
        QTEST(a.applyLocally, "localEcho");
        QCOMPARE(in.typedLine, QStringLiteral("a"));
    }

    void typedLineAndEcho()
    {
        KeyInput in;
        in.specialKeys = true;
        const KeyAction a = in.keyPress(Qt::Key_L, {}, QStringLiteral("l"));
        QVERIFY(a.handled && !a.applyLocally && a.restartCompletion);
        in.keyPress(Qt::Key_Shift, {}, QString());
        QCOMPARE(in.typedLine, QStringLiteral("l"));
        QVERIFY(in.keyPress(Qt::Key_B, Qt::AltModifier, QStringLiteral("b")).hideCompletion && in.typedLine.isEmpty());
        QVERIFY(in.keyPress(Qt::Key_PageUp, {}, QString()).hideCompletion && in.typedLine.isEmpty());
        in.altScreenActive = in.localEcho = true;
        const KeyAction q = in.keyPress(Qt::Key_Q, {}, QStringLiteral("q"));
        QVERIFY(q.moveToEnd && q.applyLocally && in.typedLine.isEmpty());
        in.specialKeys = false;
        QVERIFY(!in.keyPress(Qt::Key_Up, {}, QString()).handled);
    }

    void inputMethod()
    {
        KeyInput in;
        KeyAction a = in.inputMethod(QString(), QStringLiteral("ni"));
        QVERIFY(a.bytes.isEmpty() && in.composing);
        // Keys with text and Backspace belong to the composition meanwhile.
        QVERIFY(in.keyPress(Qt::Key_H, {}, QStringLiteral("h")).bytes.isEmpty());
        QVERIFY(!in.keyPress(Qt::Key_Backspace, {}, QString()).handled);
        a = in.inputMethod(QStringLiteral("你好"), QString());
        QCOMPARE(a.bytes, QByteArray("\xe4\xbd\xa0\xe5\xa5\xbd"));
        QVERIFY(!in.composing && a.handled);
        QCOMPARE(in.typedLine, QStringLiteral("你好"));
        // With local echo the commit shows and is sent as well.
        in.localEcho = true;
        a = in.inputMethod(QStringLiteral("x"), QString());
        QVERIFY(a.handled && a.applyLocally && a.bytes == "x");
    }

    void paste_data()
    {
        QTest::addColumn<bool>("grid");
        QTest::addColumn<bool>("bracketed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("typedLine");
        QTest::newRow("line mode keeps LF") << false << false << "a\nb" << QByteArray("a\nb") << "";
        QTest::newRow("one line collected") << false << false << "ls -l" << QByteArray("ls -l") << "ls -l";
        QTest::newRow("grid LF to CR") << true << false << "a\nb" << QByteArray("a\rb") << "";
        QTest::newRow("grid CR LF one CR") << true << false << "a\r\nb\n" << QByteArray("a\rb\r") << "";
        QTest::newRow("bracketed drops ESC") << true << true << "x\x1b[201~rm -rf ~\n" << QByteArray("\x1b[200~x[201~rm -rf ~\n\x1b[201~") << "";
        QTest::newRow("bracketed in line mode") << false << true << "a\x1b" << QByteArray("\x1b[200~a\x1b[201~") << "a";
        QTest::newRow("bracketed lines in line mode") << false << true << "a\nb" << QByteArray("\x1b[200~a\nb\x1b[201~") << "";
    }
    void paste()
    {
        QFETCH(bool, grid);
        QFETCH(bool, bracketed);
        QFETCH(QString, text);
        KeyInput in;
        in.altScreenActive = grid;
        InputModes modes;
        modes.bracketedPaste = bracketed;
        in.modes = &modes;
        QTEST(in.paste(text).bytes, "bytes");
        QTEST(in.typedLine, "typedLine");
    }
};

QTEST_GUILESS_MAIN(TestKeyInput)
#include "tst_keyinput.moc"
