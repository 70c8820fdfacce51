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
        QTest::newRow("prefix") << QByteArray("$ ") << "gi" << "git" << QByteArray("t");
        QTest::newRow("typed in upper case") << QByteArray("$ ") << "GI" << "git" << QByteArray("t");
        QTest::newRow("a later word of the row") << QByteArray("$ ") << "log" << "tail -f logs" << QByteArray("s");
        QTest::newRow("from the history") << QByteArray("$ ") << "ma" << "make -j8 all" << QByteArray("ke -j8 all");
        QTest::newRow("hidden line end is never sent") << QByteArray("$ ") << "gitx" << "gitx\rrm -rf ~" << QByteArray();
        QTest::newRow("longer than the row shows") << QByteArray("$ ") << "gitl" << "gitl" + QString(300, 'o') << QByteArray();
        QTest::newRow("password prompt") << QByteArray("\r\nPassWord: ") << "gi" << "" << QByteArray();
        QTest::newRow("passphrase prompt") << QByteArray("Enter passphrase for key: ") << "gi" << "" << QByteArray();
    }

    void sendsOnlyTheMissingPart()
    {
        QFETCH(QByteArray, prompt);
        QFETCH(QString, typed);
        QFETCH(QString, pick);
        QFETCH(QByteArray, sent);
        const QString id = QStringLiteral("fast:%1").arg(QTest::currentDataTag());
        remoteEnvRegistry().setRemoteEnv(id, "linux", {"git", "tail -f logs", "gitx\rrm -rf ~", "gitl" + QString(300, 'o')});
        commandHistoryRegistry().append(id, "make -j8 all");
        TerminalView v(id, "t");
        v.resize(600, 400);
        v.show();
        TerminalEdit *edit = v.terminalEdit();
        v.appendData(prompt);
        while (v.engine()->hasPendingData())
            v.engine()->drainReceived();
        QCoreApplication::processEvents();
        QSignalSpy out(&v, &TerminalView::sendInput);
        QTest::keyClicks(edit, typed);
        QCOMPARE(out.size(), typed.size()); // each key went out as typed
        out.clear();
        QVERIFY(edit->completionTimer.isActive());
        edit->completionTimer.stop();
        edit->updateCompletion();
        CommandCompleterPopup *popup = edit->completionPopup();
        QCOMPARE(popup->isVisible(), !pick.isEmpty());
        if (pick.isEmpty())
            return;
        QListWidget *list = popup->findChild<QListWidget *>();
        int row = list->count() - 1;
        while (row >= 0 && list->item(row)->data(Qt::UserRole).toString() != pick)
            --row;
        QVERIFY(row >= 0);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
        QVERIFY(!popup->isVisible());
        QCOMPARE(out.isEmpty() ? QByteArray() : out.first().at(1).toByteArray(), sent);
        QCOMPARE(out.size(), int(!sent.isEmpty()));
        QCOMPARE(edit->keys.typedLine, typed + QString::fromUtf8(sent));
    }

    // Completion stays quiet under the HEX monitor and on the alternate
    // screen, and a second pause with the same query keeps the popup.
    void quietStates()
    {
        const QString id = QStringLiteral("fast:quiet");
        remoteEnvRegistry().setRemoteEnv(id, "linux", {"git", "gist"});
        TerminalView v(id, "t");
        v.show();
        TerminalEdit *edit = v.terminalEdit();
        QTest::keyClicks(edit, "gi");
        edit->updateCompletion();
        CommandCompleterPopup *popup = edit->completionPopup();
        QVERIFY(popup->isVisible());
        popup->moveSelection(1);
        edit->updateCompletion();
        QCOMPARE(popup->currentRow(), 1);
        // What the next pause ranks follows the stores.
        commandHistoryRegistry().append(id, "git stash");
        QTest::keyClicks(edit, "t");
        edit->updateCompletion();
        QCOMPARE(popup->currentText(), QString("git stash"));
        remoteEnvRegistry().setRemoteEnv(id, "linux", {"gitt"});
        QTest::keyClicks(edit, "t");
        edit->updateCompletion();
        QCOMPARE(popup->currentText(), QString("gitt"));
        v.setHexMonitor(true);
        QVERIFY(!popup->isVisible());
        QTest::keyClicks(edit, "gi");
        edit->updateCompletion();
        QVERIFY(!popup->isVisible());
        v.setHexMonitor(false);
        QTest::keyClicks(edit, "gi");
        edit->keys.altScreenActive = true;
        edit->updateCompletion();
        QVERIFY(!popup->isVisible());
    }
};

QTEST_MAIN(TestInlineCompletion)
#include "tst_inlinecompletion.moc"
