// End to end on a real X server: a saved SSH session's remote tree in the main
// window, a file down and one up through the context menu as a user opens it.

#include "../sftp/sftprig.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "sftp/widgets/sftpprompts.h"
#include "terminal/widgets/terminalarea.h"
#include "tests/support/modals.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>

using namespace sftprig;

class TestSftpWindow : public QObject
{
    Q_OBJECT

    // Opens the tree's context menu on item as the right mouse button does,
    // and clicks the entry path ("上传/文件") in the real popup.
    static bool menuOn(QTreeWidget *w, QTreeWidgetItem *item, const QStringList &path)
    {
        w->scrollToItem(item);
        const QPoint pos = w->visualItemRect(item).center();
        QStringList left = path;
        bool clicked = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu || left.isEmpty())
                return;
            for (QAction *a : menu->actions()) {
                if (a->text() != left.first() || !menu->actionGeometry(a).isValid())
                    continue;
                left.removeFirst();
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
                clicked = left.isEmpty();
                return;
            }
        });
        poll.start();
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, w->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(w->viewport(), &event);
        return clicked;
    }

private slots:
    void downloadAndUploadByMenu()
    {
        SFTP_RIG_NEEDS_ROOT();
        LanguageManager::setLanguage(QStringLiteral("zh"));
        const Server server = plainServer();
        QVERIFY2(!server.user().isEmpty(), "fixture sshd not running");
        QTemporaryDir local;
        const QString work = server.home() + QStringLiteral("/e2e-%1").arg(QCoreApplication::applicationPid());
        const QByteArray remoteBytes(300000, 'r'), localBytes(200000, 'l');
        QVERIFY(QDir().mkpath(work));
        own(work, server);
        setUp(work, {"remote.bin=" + QString(remoteBytes)}, server);
        const QString up = local.filePath(QStringLiteral("local.bin"));
        QVERIFY(writeFile(up, localBytes));
        sftpPrompts().saveFile = [&](QWidget *, const QString &, const QString &) { return local.filePath(QStringLiteral("got.bin")); };
        sftpPrompts().openFile = [&](QWidget *, const QString &) { return up; };

        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *area = window.findChild<TerminalArea *>();
        // A saved SSH session opened as a user opens it: the prompt answered,
        // the view gets its remote tree.
        AppSettings::instance().setValue(QStringLiteral("keys/knownHosts"), local.filePath(QStringLiteral("known_hosts")));
        const QString id = SessionStore::instance().addSession(QStringLiteral("sftp"), QStringLiteral("ssh"), QString(),
                                                               QStringLiteral("127.0.0.1"), QString::number(server.port));
        ModalAnswerer prompt;
        window.onSessionConnect(id);
        auto *tree = area->findChild<RemoteDirTree *>();
        QVERIFY(tree && tree->isVisible());
        QTreeWidget *w = tree->treeWidget();

        // Down to the folder by clicks on the arrows, as a user opens folders.
        QTreeWidgetItem *item = reveal(*tree, work, [w](QTreeWidgetItem *folder) {
            w->scrollToItem(folder);
            const QRect row = w->visualItemRect(folder);
            QTest::mouseClick(w->viewport(), Qt::LeftButton, {}, QPoint(row.x() - w->indentation() / 2, row.center().y()));
        });
        QTreeWidgetItem *file = childNamed(item, QStringLiteral("remote.bin"));
        QVERIFY2(item && file, "the folder did not open");
        QVERIFY(menuOn(w, file, {QStringLiteral("下载")}));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(local.filePath(QStringLiteral("got.bin"))), remoteBytes, 30000);
        QVERIFY(menuOn(w, item, {QStringLiteral("上传"), QStringLiteral("文件")}));
        QTRY_VERIFY_WITH_TIMEOUT(childNamed(item, QStringLiteral("local.bin")), 30000);
        QCOMPARE(readFile(work + QStringLiteral("/local.bin")), localBytes);
        auto *list = area->findChild<QTreeWidget *>(QStringLiteral("transferList"));
        QVERIFY(list && list->isVisible());
        QCOMPARE(list->topLevelItemCount(), 2);
        QDir(work).removeRecursively();
    }
};

QTEST_MAIN(TestSftpWindow)
#include "tst_sftpwindow.moc"
