#pragma once

// The real window on an X server, driven as a user would.
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"
#include "tests/support/modals.h"

#include <QApplication>
#include <QTest>
#include <QTreeWidget>

constexpr int kWait = 10000; // a bound against hanging, not a speed check

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
