// ui_bench sftp: a remote folder of 10,000 entries arriving in the remote
// directory tree: the time from the listing's arrival to the tree painted
// with it, then the time per page scrolled through it, beside a QListWidget
// given the same names at once as the reference.
#include "sftp/widgets/remotedirtree.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QScrollBar>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

namespace {

double medianOf(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(v.size() / 2);
}

QVariantList entries(int count)
{
    QVariantList out;
    for (int i = 0; i < count; ++i) {
        const bool dir = i < count / 10;
        out << QVariantMap{{QStringLiteral("name"), QStringLiteral("%1-%2").arg(dir ? "dir" : "file").arg(i, 5, 10, QLatin1Char('0'))},
                           {QStringLiteral("dir"), dir},          {QStringLiteral("link"), i % 97 == 0},
                           {QStringLiteral("exec"), i % 13 == 0}, {QStringLiteral("fifo"), false},
                           {QStringLiteral("sock"), false},       {QStringLiteral("dev"), false}};
    }
    return out;
}

// Milliseconds per page scrolled, painted.
QList<double> scrollPages(QAbstractScrollArea *view)
{
    QList<double> perPage;
    QApplication::processEvents(); // lays the rows out: the bar gets its range
    QScrollBar *bar = view->verticalScrollBar();
    for (int i = 0; i < 60 && bar->value() < bar->maximum(); ++i) {
        QElapsedTimer timer;
        timer.start();
        bar->setValue(bar->value() + bar->pageStep());
        view->viewport()->repaint();
        perPage << timer.nsecsElapsed() / 1e6;
    }
    return perPage;
}

} // namespace

int sftpBench()
{
    const int count = 10000;
    const QVariantList listing = entries(count);
    QStringList names;
    for (const QVariant &e : listing)
        names << e.toMap().value(QStringLiteral("name")).toString();

    QList<double> ours, reference, oursScroll, referenceScroll;
    for (int run = 0; run < 5; ++run) {
        RemoteDirTree tree;
        tree.resize(260, 700);
        tree.show();
        // A worker that never connects: the root exists, its listing is ours.
        SshConnectParams nowhere;
        nowhere.host = QStringLiteral("127.0.0.1");
        nowhere.port = 1;
        tree.connectTo(nowhere);
        QMetaObject::invokeMethod(&tree, "onReady");
        QApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        QMetaObject::invokeMethod(&tree, "onListed", Q_ARG(QString, QStringLiteral("/")),
                                  Q_ARG(QString, QStringLiteral("/")), Q_ARG(QVariantList, listing), Q_ARG(bool, true));
        tree.treeWidget()->viewport()->repaint();
        ours << timer.nsecsElapsed() / 1e6;
        if (tree.treeWidget()->topLevelItem(0)->childCount() != count) {
            std::fprintf(stderr, "the listing did not arrive in the tree\n");
            return 1;
        }
        oursScroll << scrollPages(tree.treeWidget());
        if (oursScroll.isEmpty()) {
            std::fprintf(stderr, "the tree did not scroll\n");
            return 1;
        }

        QListWidget list;
        list.resize(260, 700);
        list.show();
        QApplication::processEvents();
        timer.restart();
        list.addItems(names);
        list.viewport()->repaint();
        reference << timer.nsecsElapsed() / 1e6;
        referenceScroll << scrollPages(&list);
    }
    std::printf("sftp tree entries=%d shown_ms=%.1f per_page_scroll_ms median=%.2f max=%.2f | QListWidget shown_ms=%.1f "
                "per_page_scroll_ms median=%.2f max=%.2f (median of 5)\n",
                count, medianOf(ours), medianOf(oursScroll), *std::max_element(oursScroll.begin(), oursScroll.end()),
                medianOf(reference), medianOf(referenceScroll),
                *std::max_element(referenceScroll.begin(), referenceScroll.end()));
    return 0;
}
