#include "sessionsbench.h"

#include "connections/connection.h"
#include "core/commandsending.h"
#include "core/sessionstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/sessiontree.h"
#include "platform/pty.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int kSessions = 50;
const QString kShell = QStringLiteral("/bin/bash");

// A prompt is on screen: the last line ends in "$ " or "# ".
bool endsInPrompt(QString text)
{
    while (text.endsWith(u'\n'))
        text.chop(1);
    return text.endsWith(u"$ ") || text.endsWith(u"# ") || text.endsWith(u'$') || text.endsWith(u'#');
}

// Serves events until `done` holds; the milliseconds it took, -1 after 20 s.
double waitFor(const std::function<bool()> &done, const QElapsedTimer &since)
{
    while (!done()) {
        if (since.elapsed() > 20000)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return since.nsecsElapsed() / 1e6;
}

// bash on a pseudo-terminal of its own, without the window: time to its
// first prompt.
double bareBashMs()
{
    QElapsedTimer since;
    since.start();
    platform::PtyProcess pty;
    int err = 0;
    if (!pty.spawn(kShell, {}, "xterm-256color", 80, 24, &err))
        return -1;
    QString seen;
    char buffer[4096];
    while (!endsInPrompt(seen) && since.elapsed() < 20000) {
        pollfd p{pty.masterFd(), POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
            if (n > 0)
                seen += QString::fromUtf8(buffer, int(n));
        }
    }
    const double ms = since.nsecsElapsed() / 1e6;
    pty.terminate(500);
    return endsInPrompt(seen) ? ms : -1;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}
} // namespace

int sessionsBench(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(home.path()));
    QApplication app(argc, argv);
    QStringList ids;
    for (int i = 0; i < kSessions; ++i)
        ids << SessionStore::instance().addSession(QStringLiteral("shell %1").arg(i), QStringLiteral("local"),
                                                   QString(), kShell, QString());
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    auto *tree = window.findChild<SessionTree *>()->findChild<QTreeWidget *>();
    auto *area = window.findChild<TerminalArea *>();
    const auto screen = [area](const QString &id) {
        TerminalView *v = area->view(id);
        return v ? v->terminalEdit()->document()->toPlainText() : QString();
    };

    QList<double> bare, opened;
    for (int i = 0; i < kSessions; ++i) {
        if (i % 5 == 0)
            bare << bareBashMs();
        QTreeWidgetItem *item = nullptr;
        for (QTreeWidgetItemIterator it(tree); *it && !item; ++it)
            item = (*it)->data(0, SessionTree::SessionIdRole).toString() == ids.at(i) ? *it : nullptr;
        tree->scrollToItem(item);
        const QPoint at = tree->viewport()->mapTo(&window, tree->visualItemRect(item).center());
        QElapsedTimer since;
        since.start();
        QTest::mouseDClick(window.windowHandle(), Qt::LeftButton, {}, at);
        opened << waitFor([&] { return endsInPrompt(screen(ids.at(i))); }, since);
    }
    std::printf("sessions open n=%d median_ms=%.1f max_ms=%.1f bare_bash_median_ms=%.1f (n=%lld) "
                "overhead_median_ms=%.1f\n",
                kSessions, median(opened), *std::max_element(opened.begin(), opened.end()), median(bare),
                qlonglong(bare.size()), median(opened) - median(bare));

    // The all-sessions send: one write of the payload to every open session.
    const QByteArray payload = broadcastPayload(QStringLiteral("echo hv-$((6*7))"));
    QElapsedTimer since;
    since.start();
    for (Connection *connection : std::as_const(window.sessionHub()->connections))
        connection->write(payload);
    const double all = waitFor(
        [&] {
            return std::all_of(ids.cbegin(), ids.cend(),
                               [&](const QString &id) { return screen(id).contains(u"hv-42"); });
        },
        since);
    std::printf("sessions broadcast n=%d all_answered_ms=%.1f\n", kSessions, all);
    std::fflush(stdout);
    window.close();
    return 0;
}
