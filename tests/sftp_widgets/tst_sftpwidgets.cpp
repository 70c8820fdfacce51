// The remote tree, the SFTP dialog and the transfer list: the panel and the
// progress coalescing on driven clocks, the tree and the dialog against a
// real sshd, every context-menu job checked by its effect on both sides.

#include "../sftp/sftprig.h"

#include "core/languagemanager.h"
#include "sftp/widgets/progressthrottle.h"
#include "sftp/widgets/sftpdialog.h"
#include "sftp/widgets/sftpprompts.h"
#include "sftp/widgets/transferpanel.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>

#include <algorithm>
#include <memory>

using namespace sftprig;

namespace {

constexpr int kWait = 30000;

// Chooses a menu entry by its texts ("上传/文件" goes through the submenu).
bool choose(QMenu *menu, const QString &entry)
{
    const QStringList parts = entry.split(QLatin1Char('/'));
    for (QAction *action : menu->actions()) {
        if (action->text() != parts.first())
            continue;
        if (parts.size() > 1)
            return action->menu() && choose(action->menu(), parts.mid(1).join(QLatin1Char('/')));
        if (!action->isEnabled())
            return false;
        action->trigger();
        return true;
    }
    return false;
}

} // namespace

class TestSftpWidgets : public QObject
{
    Q_OBJECT
    Server m_server;
    QTemporaryDir m_local;
    QString m_knownHosts;
    QString m_work;   // remote folder of this run, seen from here
    QStringList m_asked; // every confirmation shown
    int m_folderQuestions = 0;

    SshConnectParams serverParams() const { return m_server.params(m_knownHosts); }

private slots:
    void initTestCase()
    {
        SFTP_RIG_NEEDS_ROOT();
        LanguageManager::setLanguage(QStringLiteral("zh"));
        m_server = plainServer();
        QVERIFY2(!m_server.user().isEmpty() && !m_server.home().isEmpty(), "fixture sshd not running");
        m_knownHosts = m_local.filePath(QStringLiteral("known_hosts"));
        m_work = m_server.home() + QStringLiteral("/ui-%1").arg(QCoreApplication::applicationPid());
    }

    void init()
    {
        QVERIFY(QDir().mkpath(m_work));
        own(m_work, m_server);
    }
    void cleanup()
    {
        resetSftpPrompts();
        QDir(m_work).removeRecursively();
    }

    // A script of steps on a panel with a driven clock: "a1:0" adds transfer
    // 1 of 0 bytes, "p1:5/10" reports progress, "f1"/"x1" finishes it well or
    // badly, "t2999" lets time pass, "V"/"H" expect it visible or hidden,
    // "b1=R" expects bar 1 busy (R) or at value N, "s1=完成" its status,
    // "c1=1.0~KB" its byte text ("~" for a space).
    void panel_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("hides 3 s after the last") << "a1:10 V f1 t2999 V t1 H";
        QTest::newRow("two running: first finish keeps it") << "a1:10 a2:10 f1 t5000 V f2 t3000 H";
        QTest::newRow("added during countdown") << "a1:10 f1 t2000 a2:10 t5000 V f2 t3000 H";
        QTest::newRow("unknown id counts down") << "a1:10 f9 t3000 H";
        QTest::newRow("more finishes than adds") << "a1:10 f1 f1 f1 a2:10 t3000 V f2 t3000 H";
        QTest::newRow("busy until a total is known") << "a1:0 b1=R p1:5/0 b1=R p1:5/10 b1=50";
        QTest::newRow("unknown total: full when done") << "a1:0 f1 b1=100 s1=完成";
        QTest::newRow("unknown total: stopped when failed") << "a1:0 x1 b1=0";
        QTest::newRow("failed bar stays where it stopped") << "a1:100 p1:40/100 x1 b1=40 s1=失败~boom";
        QTest::newRow("finished bar is full") << "a1:100 p1:40/100 f1 b1=100";
        QTest::newRow("huge files") << "a1:5368709120 p1:4294967296/5368709120 b1=80";
        QTest::newRow("byte texts") << "a1:1073741824 c1=0~/~1.00~GB p1:1023/5368709120 c1=1023~B~/~5.00~GB "
                                       "p1:1024/0 c1=1.0~KB p1:1536/0 c1=1.5~KB p1:1048575/0 c1=1024.0~KB "
                                       "p1:1048576/0 c1=1.0~MB p1:0/0 c1=0~B";
    }
    void panel()
    {
        QFETCH(QString, script);
        QWidget host;
        auto *panel = new TransferPanel(&host);
        panel->setManualClock(true);
        panel->hide();
        host.show();
        auto *list = panel->findChild<QTreeWidget *>();
        const auto row = [list](int id) { return list->topLevelItem(id - 1); }; // rows come in the order added
        for (const QString &step : script.split(QLatin1Char(' '))) {
            const QChar op = step.at(0);
            const int id = step.mid(1, 1).toInt();
            const QString arg = step.mid(3);
            if (op == 'a')
                panel->addTransfer(id, QStringLiteral("f%1").arg(id), true, arg.toLongLong());
            else if (op == 'p')
                panel->updateProgress(id, arg.section('/', 0, 0).toLongLong(), arg.section('/', 1).toLongLong());
            else if (op == 'f' || op == 'x')
                panel->finishTransfer(id, QStringLiteral("boom"), op == 'f');
            else if (op == 't')
                panel->elapse(step.mid(1).toInt());
            else if (op == 'V' || op == 'H')
                QVERIFY2(panel->isVisible() == (op == 'V'), qPrintable(step));
            else if (op == 'b') {
                auto *bar = qobject_cast<QProgressBar *>(list->itemWidget(row(id), 2));
                QVERIFY(bar);
                if (arg == QLatin1String("R"))
                    QCOMPARE(bar->maximum(), 0);
                else
                    QCOMPARE(bar->value(), arg.toInt());
            } else if (op == 's' || op == 'c')
                QCOMPARE(row(id)->text(op == 's' ? 3 : 2), step.mid(3).replace(QLatin1Char('~'), QLatin1Char(' ')));
        }
    }

    // Texts follow the language chosen (a QObject's own tr() would not).
    void speaksTheLanguage()
    {
        LanguageManager::setLanguage(QStringLiteral("en"));
        auto back = qScopeGuard([] { LanguageManager::setLanguage(QStringLiteral("zh")); });
        TransferPanel panel;
        RemoteDirTree tree;
        const QSize narrow(tree.minimumSizeHint().width(), panel.minimumSizeHint().width());
        panel.addTransfer(1, QStringLiteral("f"), true, 0);
        const QTreeWidgetItem *row = panel.findChild<QTreeWidget *>()->topLevelItem(0);
        QCOMPARE(row->text(1) + QLatin1Char('|') + row->text(3), QStringLiteral("↑ Upload|Transferring…"));
        QCOMPARE(tree.statusText(), QStringLiteral("Not connected"));
        // No text, however long, widens the side pane or the transfer list.
        const QString text = QStringLiteral("⚠ 主机密钥校验失败：") + QString(400, QLatin1Char('k'));
        QVERIFY(QMetaObject::invokeMethod(&tree, "onWorkerError", Q_ARG(QString, text)));
        panel.addTransfer(2, text, false, 0);
        panel.finishTransfer(2, text, false);
        QCOMPARE(QSize(tree.minimumSizeHint().width(), panel.minimumSizeHint().width()), narrow);
        QCOMPARE(tree.findChildren<QLabel *>().last()->toolTip(), text);
        SftpDialog dialog(nowhere());
        dialog.setAttribute(Qt::WA_DeleteOnClose, false);
        QVERIFY(findButton(&dialog, "⬆ Up"));
    }

    // The tree's footer and tool tips follow a language switch (Arabic,
    // then Japanese), whatever the footer said: its own texts, texts with a
    // number, a worker's message.
    void footerFollowsLanguage_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("not connected") << "";
        QTest::newRow("listed") << "listed";
        QTest::newRow("worker message") << "error";
    }
    void footerFollowsLanguage()
    {
        QFETCH(QString, state);
        auto back = qScopeGuard([] { LanguageManager::setLanguage(QStringLiteral("zh")); });
        RemoteDirTree tree;
        QString source = QStringLiteral("未连接"), argument;
        if (state == QLatin1String("listed")) {
            setUp(m_work, {"a=1", "b/"}, m_server);
            tree.connectTo(serverParams());
            QVERIFY2(reveal(tree, m_work), qPrintable(tree.statusText()));
            QTRY_COMPARE_WITH_TIMEOUT(tree.statusText(), QStringLiteral("2 项"), kWait);
            source = QStringLiteral("%1 项");
            argument = QStringLiteral("2");
        } else if (state == QLatin1String("error")) {
            source = QStringLiteral("已取消");
            QVERIFY(QMetaObject::invokeMethod(&tree, "onWorkerError", Q_ARG(QString, source)));
        }
        auto *refresh = tree.findChild<QPushButton *>();
        for (const char *language : {"ar", "ja"}) {
            LanguageManager::setLanguage(QString::fromLatin1(language));
            QString expected = LanguageManager::tr(source);
            if (!argument.isEmpty())
                expected = expected.arg(argument);
            QVERIFY2(expected != source, language); // a translated text, or the test proves nothing
            QCOMPARE(tree.statusText(), expected);
            QCOMPARE(refresh->toolTip(), LanguageManager::tr(QStringLiteral("刷新目录树")));
        }
    }

    // The dialog's bar ends full after a transfer, also of an empty file,
    // and stays so when the folder is listed again after it. A size of -1
    // is a link to /proc/version: listed as the link, sized 0 once open,
    // and holding text all the same. A pipe chosen for upload (-2) is
    // refused: the bar stays empty and the status says so in full.
    void dialogBarEndsFull_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<int>("size");
        for (const bool upload : {false, true})
            for (const int size : {0, 70000})
                QTest::addRow("%s %d", upload ? "upload" : "download", size) << upload << size;
        QTest::addRow("download of a /proc file") << false << -1;
        QTest::addRow("upload of a pipe") << true << -2;
    }
    void dialogBarEndsFull()
    {
        QFETCH(bool, upload);
        QFETCH(int, size);
        QTemporaryDir local;
        const bool pipe = size == -2;
        const QByteArray content = size == -1 ? readFile(QStringLiteral("/proc/version")) : QByteArray(qMax(size, 0), 'z');
        QVERIFY(!content.isEmpty() || size == 0 || pipe);
        setUp(m_work, {size == -1 ? QStringLiteral("down.bin->/proc/version") : "down.bin=" + QString::fromLatin1(content)},
              m_server);
        if (pipe)
            setUp(local.path(), {QStringLiteral("up.bin|")}, m_server);
        else
            QVERIFY(writeFile(local.filePath(QStringLiteral("up.bin")), content));
        auto *dialog = new SftpDialog(serverParams());
        auto close = qScopeGuard([dialog] { dialog->close(); });
        dialog->show();
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_server.home(), kWait);
        QVERIFY(QMetaObject::invokeMethod(dialog, "navigate", Q_ARG(QString, m_work)));
        auto *list = dialog->findChild<QTreeWidget *>(QStringLiteral("sftpFileList"));
        QTRY_VERIFY_WITH_TIMEOUT(!list->findItems(QStringLiteral("down.bin"), Qt::MatchExactly).isEmpty(), kWait);
        auto *bar = dialog->findChild<QProgressBar *>();
        // The status line reads "N 项" once a listing has been shown.
        const auto listedAgain = [dialog] {
            static const QRegularExpression count(QStringLiteral("^\\d+ 项$"));
            const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
            return std::any_of(labels.cbegin(), labels.cend(), [](QLabel *l) { return count.match(l->text()).hasMatch(); });
        };
        QVERIFY(listedAgain());
        const QString target = local.filePath(QStringLiteral("got.bin"));
        sftpPrompts().saveFile = [&](QWidget *, const QString &, const QString &) { return target; };
        sftpPrompts().openFile = [&](QWidget *, const QString &) { return local.filePath(QStringLiteral("up.bin")); };
        list->setCurrentItem(list->findItems(QStringLiteral("down.bin"), Qt::MatchExactly).first());
        QTest::mouseClick(findButton(dialog, upload ? "⬆ 上传..." : "⬇ 下载..."), Qt::LeftButton);
        QVERIFY(!listedAgain());
        if (pipe) {
            const QString said = QStringLiteral("上传 %1 失败 up.bin 是命名管道，不是普通文件").arg(local.filePath(QStringLiteral("up.bin")));
            const auto shown = [&] {
                const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
                return std::any_of(labels.cbegin(), labels.cend(), [&](QLabel *l) { return l->text() == said; });
            };
            QTRY_VERIFY2_WITH_TIMEOUT(shown(), qPrintable(said), kWait);
            QVERIFY(bar->value() == 0 && !QFileInfo::exists(m_work + QStringLiteral("/up.bin")));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(listedAgain(), kWait);
        QCOMPARE(readFile(upload ? m_work + QStringLiteral("/up.bin") : target), content);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(bar->maximum(), SftpDialog::ProgressScale);
    }

    // Reports at the given milliseconds; which were shown at once, and what
    // the pending one holds at the end.
    void throttle()
    {
        const std::tuple<QList<int>, QList<int>, int> cases[] = {{{0, 10, 20, 30}, {0}, 30}, // a burst keeps the last
                                                                 {{0, 49, 50, 60, 100}, {0, 50, 100}, -1}}; // one per interval
        for (const auto &[times, shown, pending] : cases) {
            qint64 now = 0;
            ProgressThrottle t([&] { return now; });
            QList<int> got;
            for (int ms : times)
                if (now = ms, t.offer(ms, 1000))
                    got << ms;
            const auto held = t.takePending();
            QCOMPARE(QVariantList({QVariant::fromValue(got), held ? int(held->done) : -1, !t.takePending()}),
                     QVariantList({QVariant::fromValue(shown), pending, true}));
        }
    }

    // Children are listed when a folder is expanded, once.
    void lazyListing()
    {
        setUp(m_work, {"a/b/"}, m_server);
        RemoteDirTree tree;
        tree.connectTo(serverParams());
        QTreeWidgetItem *work = reveal(tree, m_work);
        QVERIFY2(work, qPrintable(tree.statusText()));
        QTreeWidgetItem *a = childNamed(work, QStringLiteral("a"));
        QVERIFY2(a && !a->isExpanded() && !listed(a), "listed before it was expanded");
        a->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(listed(a), kWait);
        QTreeWidgetItem *b = childNamed(a, QStringLiteral("b"));
        QVERIFY(b);
        // Collapsing and expanding again lists nothing: the item stays.
        a->setExpanded(false);
        a->setExpanded(true);
        QVERIFY(reveal(tree, m_work + QStringLiteral("/a/b")) == b);
    }

    // "/" refused: the tree shows the home folder instead, once.
    void homeFallback()
    {
        const Server refusing = variant("opendir", 0);
        QVERIFY2(!refusing.user().isEmpty(), "fixture sftp_opendir not running");
        RemoteDirTree tree;
        tree.connectTo(refusing.params(m_knownHosts));
        QTRY_VERIFY2_WITH_TIMEOUT(tree.statusText().startsWith(QStringLiteral("打开目录 . 失败")), qPrintable(tree.statusText()), kWait);
        const QTreeWidgetItem *top = tree.treeWidget()->topLevelItem(0);
        QCOMPARE(QStringLiteral("%1 %2 %3").arg(tree.treeWidget()->topLevelItemCount()).arg(top->text(0), top->child(0)->text(0)),
                 QStringLiteral("1 . （无法读取，收起后再展开可重试）"));
    }

    // Each entry of the context menu, by what it does on the server and
    // here. Paths are relative to the run's remote folder; $L is a local one.
    // expect: entries as unmet() reads them, on the server or, after "l:",
    // here; "c:text" clipboard, "q:n" folder questions, "asked:p" the one
    // confirmation names p, "s:text" the footer, "again" the entry chosen
    // once more, "w:p" p shown by a listing (not opened by the test);
    // "view" first: the tree and the list as a terminal view joins them.
    void contextMenu_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("expect");
        QTest::newRow("new file") << "d" << "新建文件" << " n.txt " << QStringList{"d/n.txt="};
        QTest::newRow("new folder beside a file") << "d/f" << "新建文件夹" << "k" << QStringList{"d/k/"};
        QTest::newRow("rename") << "d/f" << "重命名" << "g" << QStringList{"d/g=file f", "!d/f"};
        QTest::newRow("name with slash refused") << "d" << "新建文件" << "x/y" << QStringList{"!d/x"};
        QTest::newRow("delete folder") << "d/s" << "删除" << "yes" << QStringList{"!d/s", "asked:/d/s"};
        QTest::newRow("delete declined") << "d/f" << "删除" << "no" << QStringList{"d/f=file f"};
        QTest::newRow("download file") << "d/f" << "下载" << "$L/got" << QStringList{"l:got=file f"};
        QTest::newRow("download folder") << "d/s" << "下载" << "$L"
                                         << QStringList{"l:s/t=file t", "l:s/e/", "l:!s/k", "q:0", "s:任务完成，跳过 1 个链接或特殊文件"};
        QTest::newRow("download folder twice") << "d/s" << "下载" << "$L"
                                               << QStringList{"again", "s:任务完成，跳过 1 个链接或特殊文件"};
        QTest::newRow("download into existing folder") << "d/s" << "下载" << "$L/exists" << QStringList{"l:exists/s/t=file t", "q:1"};
        QTest::newRow("upload file") << "d" << "上传/文件" << "$L/up.txt" << QStringList{"d/up.txt=local up"};
        QTest::newRow("upload folder") << "d/f" << "上传/文件夹" << "$L/tree" << QStringList{"d/tree/leaf=local leaf"};
        QTest::newRow("upload folder holding a pipe") << "d" << "上传/文件夹" << "$L/pipes"
                                                      << QStringList{"d/pipes/leaf=local leaf", "!d/pipes/p", "w:d/pipes",
                                                                     "s:任务完成，跳过 1 个链接或特殊文件",
                                                                     "p:⚠ 完成|任务完成，跳过 1 个链接或特殊文件"};
        QTest::newRow("upload folder holding a pipe, in a terminal view")
            << "d" << "上传/文件夹" << "$L/pipes"
            << QStringList{"view", "d/pipes/leaf=local leaf", "!d/pipes/p", "p:⚠ 完成|任务完成，跳过 1 个链接或特殊文件"};
        QTest::newRow("upload a pipe") << "d" << "上传/文件" << "$L/pipes/p" << QStringList{"!d/p", "s:任务失败 p 是命名管道，不是普通文件"};
        QTest::newRow("compress") << "d/s" << "压缩" << "" << QStringList{"d/s.tar.gz#./s/t"};
        QTest::newRow("copy path") << "d/f" << "复制绝对路径" << "" << QStringList{"c:/d/f"};
        QTest::newRow("refresh a row listed anew") << "d/s" << "刷新" << "relist" << QStringList{"t:d/s/t"};
    }
    void contextMenu()
    {
        QFETCH(QString, target);
        QFETCH(QString, entry);
        QFETCH(QString, answer);
        QFETCH(QStringList, expect);
        QTemporaryDir local;
        const QString L = local.path();
        setUp(m_work, {"d/f=file f", "d/s/t=file t", "d/s/e/", "d/s/k->t"}, m_server);
        setUp(L, {"up.txt=local up", "tree/leaf=local leaf", "exists/s/", "pipes/leaf=local leaf", "pipes/p|"}, m_server);
        answer.replace(QStringLiteral("$L"), L);
        answerEverything(answer);

        const bool inView = expect.removeAll(QStringLiteral("view")) > 0;
        std::unique_ptr<TerminalView> view;
        std::unique_ptr<RemoteDirTree> bare;
        std::unique_ptr<TransferPanel> barePanel;
        if (inView) {
            view = std::make_unique<TerminalView>(QStringLiteral("v"), QStringLiteral("v"));
            view->resize(1000, 600);
            view->show();
            view->attachRemoteDirTree(serverParams());
        } else {
            bare = std::make_unique<RemoteDirTree>();
            barePanel = std::make_unique<TransferPanel>();
            connect(bare.get(), &RemoteDirTree::sigTransferAdded, barePanel.get(), &TransferPanel::addTransfer);
            connect(bare.get(), &RemoteDirTree::sigTransferFinished, barePanel.get(), &TransferPanel::finishTransfer);
            connect(bare.get(), &RemoteDirTree::sigTransferNote, barePanel.get(), &TransferPanel::noteTransfer);
            bare->resize(300, 600);
            bare->show();
            bare->connectTo(serverParams());
        }
        RemoteDirTree &tree = inView ? *view->findChild<RemoteDirTree *>() : *bare;
        TransferPanel &panel = inView ? *view->findChild<TransferPanel *>() : *barePanel;
        QTreeWidgetItem *item = reveal(tree, m_work + QLatin1Char('/') + target);
        QVERIFY2(item, qPrintable(tree.statusText()));
        QTreeWidget *w = tree.treeWidget();
        w->scrollToItem(item);
        bool chosen = false;
        sftpPrompts().runMenu = [&](QMenu *menu, const QPoint &) {
            const QVariantList d{QVariantMap{{"name", "s"}, {"dir", true}}, QVariantMap{{"name", "f"}}};
            if (answer == QLatin1String("relist")) // the listing of d replaces the row under the open menu
                QMetaObject::invokeMethod(&tree, "onListed", Q_ARG(QString, m_work + "/d"), Q_ARG(QString, m_work + "/d"), Q_ARG(QVariantList, d), Q_ARG(bool, false));
            chosen = choose(menu, entry);
        };
        const auto chooseEntry = [&] {
            chosen = false;
            emit w->customContextMenuRequested(w->visualItemRect(item).center());
            return chosen && QTest::qWaitFor([&] { return tree.pendingJobCount() == 0; }, 120000);
        };
        QVERIFY2(chooseEntry(), qPrintable(entry));
        const auto shown = [&](const QString &path) {
            QTreeWidgetItem *at = w->topLevelItem(0);
            for (const QString &part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
                at = childNamed(at, part);
            return at != nullptr;
        };
        for (const QString &e : expect) {
            const QString rest = e.section(QLatin1Char(':'), 1);
            if (e == QLatin1String("again"))
                QVERIFY2(chooseEntry(), qPrintable(entry));
            else if (e.startsWith(QLatin1String("c:")))
                QCOMPARE(QGuiApplication::clipboard()->text(), m_work + rest);
            else if (e.startsWith(QLatin1String("q:")))
                QCOMPARE(m_folderQuestions, rest.toInt());
            else if (e.startsWith(QLatin1String("s:")))
                QCOMPARE(tree.statusText(), rest);
            else if (e.startsWith(QLatin1String("p:"))) { // the last row of the transfer list: status|tool tip
                const QTreeWidgetItem *row = panel.findChild<QTreeWidget *>()->topLevelItem(0);
                QVERIFY(row);
                QCOMPARE(row->text(3) + QLatin1Char('|') + row->toolTip(3), rest);
            }
            else if (e.startsWith(QLatin1String("w:")))
                QVERIFY2(QTest::qWaitFor([&] { return shown(m_work + '/' + rest); }, kWait), qPrintable(e));
            else if (e.startsWith(QLatin1String("t:")))
                QVERIFY2(reveal(tree, m_work + '/' + rest), qPrintable(e));
            else if (e.startsWith(QLatin1String("asked:")))
                QVERIFY2(m_asked.size() == 1 && m_asked.first().contains(m_work + rest), qPrintable(m_asked.join('|')));
            else
                QVERIFY2(unmet(e.startsWith(QLatin1String("l:")) ? L : m_work, {e.startsWith(QLatin1String("l:")) ? rest : e}).isEmpty(), qPrintable(e));
        }
    }

    // The dialog lists the login folder, goes down and up, and shows sizes.
    void dialog()
    {
        setUp(m_work, {"sub/in.bin=" + QString(70000, 'x')}, m_server);
        auto *dialog = new SftpDialog(serverParams());
        QSignalSpy gone(dialog, &QObject::destroyed);
        dialog->show();
        auto *list = dialog->findChild<QTreeWidget *>(QStringLiteral("sftpFileList"));
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_server.home(), kWait);
        auto rowNamed = [&](const QString &text) {
            const QList<QTreeWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
            return found.isEmpty() ? nullptr : found.first();
        };
        const QString work = QFileInfo(m_work).fileName();
        QTRY_VERIFY_WITH_TIMEOUT(rowNamed(QLatin1Char('[') + work + QLatin1Char(']')), kWait);
        emit list->itemDoubleClicked(rowNamed(QLatin1Char('[') + work + QLatin1Char(']')), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_work, kWait);
        emit list->itemDoubleClicked(rowNamed(QStringLiteral("[sub]")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_work + QStringLiteral("/sub"), kWait);
        QTreeWidgetItem *in = rowNamed(QStringLiteral("in.bin"));
        QVERIFY(in);
        QCOMPARE(in->text(1), QStringLiteral("68 KB"));
        // One item in sub: neither way up counts.
        const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.cbegin(), labels.cend(), [](QLabel *l) { return l->text() == QStringLiteral("1 项"); }));

        // A file offers a download; the bold ".." row (a folder) does not,
        // and goes up.
        int saves = 0;
        sftpPrompts().saveFile = [&](QWidget *, const QString &, const QString &) { return ++saves, QString(); };
        list->setCurrentItem(in);
        QTest::mouseClick(findButton(dialog, "⬇ 下载..."), Qt::LeftButton);
        list->setCurrentItem(list->topLevelItem(0));
        QTest::mouseClick(findButton(dialog, "⬇ 下载..."), Qt::LeftButton);
        QCOMPARE(saves, 1);
        emit list->itemDoubleClicked(list->topLevelItem(0), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_work, kWait);
        // Under the bold row, the server's own ".." comes first, above the
        // folders, and goes up as well; "." never shows.
        emit list->itemDoubleClicked(rowNamed(QStringLiteral("[sub]")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_work + QStringLiteral("/sub"), kWait);
        QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("[..]"));
        QVERIFY(!rowNamed(QStringLiteral("[.]")));
        emit list->itemDoubleClicked(list->topLevelItem(1), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_work, kWait);
        // At the root ".." leads nowhere: only the bold row, which asks for no listing ("打开 %1 ...").
        dialog->findChild<QLineEdit *>()->setText(QStringLiteral("/"));
        QTest::keyClick(dialog->findChild<QLineEdit *>(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), QStringLiteral("/"), kWait);
        QVERIFY(!rowNamed(QStringLiteral("[..]")) && list->topLevelItemCount() > 1);
        emit list->itemDoubleClicked(list->topLevelItem(0), 0);
        for (QLabel *label : dialog->findChildren<QLabel *>())
            QVERIFY2(!label->text().startsWith(QStringLiteral("打开")), qPrintable(label->text()));
        // The bar counts thousandths, so sizes past the int range still fit.
        auto *bar = dialog->findChild<QProgressBar *>();
        QVERIFY(QMetaObject::invokeMethod(dialog, "onProgress", Q_ARG(qlonglong, 3LL << 30), Q_ARG(qlonglong, 4LL << 30)));
        QCOMPARE(QStringLiteral("%1/%2").arg(bar->value()).arg(bar->maximum()), QStringLiteral("750/1000"));
        dialog->close();
        QTRY_COMPARE_WITH_TIMEOUT(gone.size(), 1, 6000);
    }

    // Enter in the path field lists the typed folder and stays there (the
    // first button, "up", took the same key and listed the parent last),
    // so an upload lands in it. Names holding "%1" and "%2" read as they are
    // in every text that shows them.
    void enterThenUpload_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("mods");
        QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }
    void enterThenUpload()
    {
        QFETCH(int, key);
        QFETCH(int, mods);
        QTemporaryDir local;
        const QString typed = m_work + QStringLiteral("/d%1%2");
        QVERIFY(QDir().mkpath(typed));
        own(typed, m_server);
        const QString upName = QStringLiteral("p%2q%1.bin"), upLocal = local.filePath(upName);
        QVERIFY(writeFile(upLocal, "12345"));
        auto *dialog = new SftpDialog(serverParams());
        auto close = qScopeGuard([dialog] { dialog->close(); });
        dialog->show();
        QTRY_COMPARE_WITH_TIMEOUT(dialog->currentFolder(), m_server.home(), kWait);
        auto *path = dialog->findChild<QLineEdit *>();
        path->setFocus();
        path->setText(typed);
        QTest::keyClick(path, Qt::Key(key), Qt::KeyboardModifiers(mods));
        QCOMPARE(status(dialog), QStringLiteral("打开 %1 ...").arg(typed));
        QTRY_COMPARE_WITH_TIMEOUT(status(dialog), QStringLiteral("0 项"), kWait);

        sftpPrompts().openFile = [&](QWidget *, const QString &) { return upLocal; };
        QTest::mouseClick(findButton(dialog, "⬆ 上传..."), Qt::LeftButton);
        const QString remote = typed + QLatin1Char('/') + upName;
        QCOMPARE(status(dialog), QStringLiteral("上传 %1 ...").arg(remote));
        QTRY_COMPARE_WITH_TIMEOUT(status(dialog), QStringLiteral("1 项"), kWait); // listed again after it
        QCOMPARE(dialog->currentFolder(), typed);
        QCOMPARE(readFile(remote), QByteArray("12345"));

        // The worker's summaries, which the listing after them replaces at once.
        Dialog worker(serverParams());
        QVERIFY(worker.waitReady());
        const QString downLocal = local.filePath(QStringLiteral("g%2%1"));
        QVERIFY(worker.run(2, remote, downLocal) && worker.run(1, downLocal, remote + QStringLiteral("%3")));
        QCOMPARE(worker.done, QStringList({QStringLiteral("下载完成：%1（5 字节）").arg(downLocal),
                                           QStringLiteral("上传完成：%1%3（5 字节）").arg(remote)}));
    }

    // The session reopened while a transfer runs: its row ends, the list
    // can hide again, and the next transfer has an id of its own.
    void reopenDuringTransfer()
    {
        QTemporaryDir local;
        QVERIFY(writeFile(local.filePath(QStringLiteral("big")), QByteArray(128 << 20, 'b')));
        RemoteDirTree tree;
        TransferPanel panel;
        connect(&tree, &RemoteDirTree::sigTransferAdded, &panel, &TransferPanel::addTransfer);
        connect(&tree, &RemoteDirTree::sigTransferFinished, &panel, &TransferPanel::finishTransfer);
        QSignalSpy added(&tree, &RemoteDirTree::sigTransferAdded);
        answerEverything(local.filePath(QStringLiteral("big")));
        sftpPrompts().runMenu = [](QMenu *menu, const QPoint &) { choose(menu, QStringLiteral("上传/文件")); };
        for (int round = 0; round < 2; ++round) {
            tree.connectTo(serverParams());
            QTreeWidgetItem *work = reveal(tree, m_work);
            QVERIFY(work);
            tree.treeWidget()->scrollToItem(work);
            emit tree.treeWidget()->customContextMenuRequested(tree.treeWidget()->visualItemRect(work).center());
            QTRY_COMPARE_WITH_TIMEOUT(added.size(), round + 1, kWait);
        }
        tree.connectTo(serverParams());
        auto *list = panel.findChild<QTreeWidget *>();
        QCOMPARE(QStringLiteral("%1 %2 %3").arg(panel.activeCount()).arg(list->topLevelItemCount()).arg(list->topLevelItem(0)->text(3)),
                 QStringLiteral("0 2 失败 已取消"));
        QVERIFY(added.at(0).at(0) != added.at(1).at(0));
    }

private:
    static SshConnectParams nowhere()
    {
        SshConnectParams p;
        p.host = QStringLiteral("127.0.0.1");
        p.port = 1;
        return p;
    }
    static QString status(QDialog *dialog) { return dialog->findChildren<QLabel *>().last()->text(); }
    static QPushButton *findButton(QWidget *dialog, const char *text)
    {
        for (QPushButton *b : dialog->findChildren<QPushButton *>())
            if (b->text() == QString::fromUtf8(text))
                return b;
        return nullptr;
    }

    // Every question gets the row's answer: a text, a path, or yes/no.
    void answerEverything(const QString &answer)
    {
        m_asked.clear();
        m_folderQuestions = 0;
        SftpPrompts &p = sftpPrompts();
        p.text = [answer](QWidget *, const QString &, const QString &, const QString &) { return std::optional<QString>(answer); };
        p.saveFile = [answer](QWidget *, const QString &, const QString &) { return answer; };
        p.openFile = [answer](QWidget *, const QString &) { return answer; };
        p.folder = [answer](QWidget *, const QString &) { return answer; };
        p.confirm = [this, answer](QWidget *, const QString &title, const QString &question) {
            if (title == QStringLiteral("下载")) {
                ++m_folderQuestions;
                return true;
            }
            m_asked << question;
            return answer == QLatin1String("yes");
        };
    }
};

QTEST_MAIN(TestSftpWidgets)
#include "tst_sftpwidgets.moc"
