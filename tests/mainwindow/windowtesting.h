#pragma once

// The real window on an X server, driven as a user would.
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>


constexpr int kWait = 10000; // a bound against hanging, not a speed check
constexpr int kSshdPort = 22200 + HV_TEST_PORT_OFFSET;

inline QString fixture(const QString &file)
{
    QFile f(QStringLiteral(HV_BINARY_DIR "/fixtures/") + file);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

// Answers every credentials prompt with the SSH fixture's account.
struct User : QTimer {
    QString user = fixture("ssh_sshd/user"), password = fixture("ssh_sshd/password");
    int prompts = 0;
    User()
    {
        connect(this, &QTimer::timeout, this, [this] {
            auto *d = qobject_cast<SshCredentialsDialog *>(QApplication::activeModalWidget());
            if (!d || !d->isVisible())
                return;
            ++prompts;
            d->findChild<QLineEdit *>(QStringLiteral("userEdit"))->setText(user);
            d->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->setText(password);
            d->accept();
        });
        start(10);
    }
};

struct Window {
    MainWindow w;
    Window()
    {
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }
    TerminalArea *area() const { return w.findChild<TerminalArea *>(); }
    TerminalEdit *edit(const QString &id) const { return area()->view(id)->terminalEdit(); }
    QString screen(const QString &id) const
    {
        return area()->view(id) ? edit(id)->document()->toPlainText() : QString();
    }
    // A double-click on the session's entry in the tree.
    void open(const QString &id)
    {
        w.findChild<SessionTree *>()->refresh();
        auto *tree = w.findChild<SessionTree *>()->findChild<QTreeWidget *>();
        QTreeWidgetItem *item = nullptr;
        for (QTreeWidgetItemIterator it(tree); *it && !item; ++it)
            item = (*it)->data(0, SessionTree::SessionIdRole).toString() == id ? *it : nullptr;
        QVERIFY(item);
        tree->scrollToItem(item);
        const QPoint at = tree->viewport()->mapTo(&w, tree->visualItemRect(item).center());
        QTest::mouseDClick(w.windowHandle(), Qt::LeftButton, {}, at);
    }
    void type(const QString &id, const QString &text)
    {
        QTest::keyClicks(edit(id), text);
        QTest::keyClick(edit(id), Qt::Key_Return);
    }
};
