#include "commands/commandcompleterpopup.h"
#include "commands/commandhistory.h"
#include "core/remoteenvregistry.h"
#include "terminal/terminalengine.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QListWidget>
#include <QSignalSpy>
#include <QTest>

class TestInlineCompletion : public QObject
{
    Q_OBJECT

private slots:
    // What the remote printed last, what the user types, the row clicked
    // (empty: no popup may show) and the bytes sent for the click.
    void sendsOnlyTheMissingPart_data()
    {
        QTest::addColumn<QByteArray>("prompt");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("pick");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("typed in upper case") << QByteArray("$ ") << "GI" << "git" << QByteArray("t");
        QTest::newRow("local echo") << QByteArray("$ ") << "GI" << "git" << QByteArray("t");
        QTest::newRow("a later word of the row") << QByteArray("$ ") << "log" << "tail -f logs" << QByteArray("s");
        QTest::newRow("from the history") << QByteArray("$ ") << "ma" << "make -j8 all" << QByteArray("ke -j8 all");
        QTest::newRow("hidden line end") << QByteArray("$ ") << "gitx" << "gitx\rrm -rf ~" << QByteArray();
        QTest::newRow("hidden escape") << QByteArray("$ ") << "gite" << "gite\x1b[2J" << QByteArray();
        QTest::newRow("hidden C1 control") << QByteArray("$ ") << "gitc" << "gitc" + QString(QChar(0x9b)) << QByteArray();
        QTest::newRow("longer than the row shows") << QByteArray("$ ") << "gitl" << "gitl" + QString(300, 'o') << QByteArray();
        QTest::newRow("password prompt") << QByteArray("\r\nPassWord: ") << "gi" << "" << QByteArray();
    }
    void sendsOnlyTheMissingPart()
    {
        QFETCH(QByteArray, prompt);
        QFETCH(QString, typed);
        QFETCH(QString, pick);
        QFETCH(QByteArray, sent);
        const QString id = QStringLiteral("fast:%1").arg(QTest::currentDataTag());
        remoteEnvRegistry().setRemoteEnv(id, "linux", {"git", "tail -f logs", "gitx\rrm -rf ~", "gite\x1b[2J", "gitc" + QString(QChar(0x9b)), "gitl" + QString(300, 'o')});
        commandHistoryRegistry().append(id, "make -j8 all");
        TerminalView v(id, "t");
        v.show();
        v.appendData(prompt);
        while (v.engine()->hasPendingData())
            v.engine()->drainReceived();
        QCoreApplication::processEvents();
        TerminalEdit *edit = v.terminalEdit();
        edit->keys.localEcho = QTest::currentDataTag() == QByteArray("local echo");
        QTest::keyClicks(edit, typed);
        QVERIFY(edit->completionTimer.isActive());
        edit->updateCompletion();
        QListWidget *list = edit->completionPopup()->findChild<QListWidget *>();
        QCOMPARE(edit->completionPopup()->isVisible(), !pick.isEmpty());
        int row = list->count() - 1;
        while (row >= 0 && list->item(row)->data(Qt::UserRole).toString() != pick)
            --row;
        QCOMPARE(row >= 0, !pick.isEmpty());
        if (row < 0)
            return;
        QSignalSpy out(&v, &TerminalView::sendInput);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
        QVERIFY(!edit->completionPopup()->isVisible());
        QCOMPARE(out.isEmpty() ? QByteArray() : out.first().at(1).toByteArray(), sent);
        QCOMPARE(edit->keys.typedLine, typed + QString::fromUtf8(sent));
        // The line shown is the line tracked: the remote's echo, or ours.
        if (edit->keys.localEcho)
            QCOMPARE(edit->document()->lastBlock().text(), QString::fromLatin1(prompt) + edit->keys.typedLine);
    }

    // A second pause with the same query keeps the popup as it is; the
    // next pause ranks what the stores hold now; the HEX monitor and the
    // alternate screen keep completion quiet.
    void followsStoresAndStates()
    {
        const QString id = QStringLiteral("fast:quiet");
        remoteEnvRegistry().setRemoteEnv(id, "linux", {"git", "gist"});
        TerminalView v(id, "t");
        v.show();
        TerminalEdit *edit = v.terminalEdit();
        CommandCompleterPopup *popup = edit->completionPopup();
        QTest::keyClicks(edit, "gi");
        edit->updateCompletion();
        popup->moveSelection(1);
        edit->updateCompletion();
        QCOMPARE(popup->currentRow(), 1);
        commandHistoryRegistry().append(id, "git stash");
        QTest::keyClicks(edit, "t");
        edit->updateCompletion();
        QCOMPARE(popup->currentText(), QString("git stash"));
        // Escape only hides the popup.
        QSignalSpy out(&v, &TerminalView::sendInput);
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(!popup->isVisible() && out.isEmpty());
        for (bool hex : {true, false}) {
            v.setHexMonitor(hex);
            QTest::keyClicks(edit, "gi");
            edit->keys.altScreenActive = !hex;
            edit->updateCompletion();
            QVERIFY(!popup->isVisible());
        }
        // Keys taken elsewhere (a dialog, a menu) leave no list standing,
        // neither one shown nor one a pause in typing was about to show.
        v.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&v));
        edit->setFocus();
        edit->keys.altScreenActive = false;
        edit->keys.typedLine.clear();
        QTest::keyClicks(edit, "gi");
        edit->updateCompletion();
        QVERIFY(popup->isVisible());
        QTest::keyClicks(edit, "t");
        edit->clearFocus();
        QVERIFY(!popup->isVisible() && !edit->completionTimer.isActive());
    }
};

QTEST_MAIN(TestInlineCompletion)
#include "tst_inlinecompletion.moc"
