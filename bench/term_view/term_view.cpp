// One terminal view in a window of C x R cells, fed from a file or from a
// command run in the local shell, to be looked at and timed beside other
// terminals on the same X server. Prints "received=N dropped=M seconds=S
// longest_stall_ms=L" when it closes (L: the longest the event loop was busy).
//
//   term_view [--cols C] [--rows R] (--file F | --command CMD) [--hold] [--shot PNG] [--trace]
//
// --trace: for each typed key, when its bytes went to the shell, when the
// echo came back and when the view next painted, each from the key event;
// the medians and the 99th percentiles go to stderr after every 50 keys
// (a typometer ends the window with a signal).

#include "connections/localshellconnection.h"
#include "core/appsettings.h"
#include "terminal/terminalengine.h"
#include "terminal/widgets/terminaledit.h"
#include "terminal/widgets/terminalview.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace {

// Sizes the top-level view so that its screen holds exactly cols x rows cells.
void fitToCells(TerminalView &view, int cols, int rows)
{
    TerminalEdit *edit = view.terminalEdit();
    const QSizeF cell = view.cellSize();
    const qreal margin = 2 * edit->document()->documentMargin();
    const QSize extra = view.size() - edit->viewport()->size();
    view.resize(extra.width() + int(std::ceil(cols * cell.width() + margin)) + 1,
                extra.height() + int(std::ceil(rows * cell.height() + margin)) + 1);
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Scrolling through the buffer a page at a time (each page drawn at once)
// and a find that has to read all of it.
void probe(TerminalView &view)
{
    QScrollBar *bar = view.terminalEdit()->verticalScrollBar();
    QElapsedTimer t;
    qint64 worst = 0;
    qint64 total = 0;
    const int pages = 50;
    for (int i = 0; i < pages; ++i) {
        t.start();
        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
        view.repaint();
        const qint64 ns = t.nsecsElapsed();
        worst = std::max(worst, ns);
        total += ns;
    }
    t.start();
    view.find(QStringLiteral("text that is nowhere in the buffer"));
    const qint64 findNs = t.nsecsElapsed();
    std::printf("lines=%d page_ms_max=%.2f page_ms_avg=%.2f find_ms=%.1f rss_kb=%lld\n",
                view.terminalEdit()->document()->blockCount(), worst / 1e6, total / 1e6 / pages, findNs / 1e6,
                static_cast<long long>(residentKb()));
}

// Times the stages of a key's trip inside the process: the key event, its
// bytes handed to the connection, the first received bytes after them, the
// view done with those, and the first paint of the terminal's viewport after
// that, its start and its end.
class KeyTrace : public QObject
{
public:
    explicit KeyTrace(QWidget *viewport) : m_viewport(viewport) { m_clock.start(); }
    void sent() { stamp(Sent); }
    void received() { stamp(Received); }
    void handled() { stamp(Handled); }
    void print() const
    {
        // stderr: stdout may be gone.
        static const char *names[] = {"", "sent", "received", "handled", "paint_start", "painted"};
        for (int stage = Sent; stage <= Painted; ++stage) {
            QVector<double> ms;
            for (const auto &k : m_keys)
                if (k[Painted] > 0)
                    ms << (k[stage] - k[Key]) / 1e6;
            std::sort(ms.begin(), ms.end());
            if (!ms.isEmpty())
                std::fprintf(stderr, "%s p50_ms=%.2f p99_ms=%.2f ", names[stage], ms[ms.size() / 2],
                            ms[std::min<qsizetype>(ms.size() - 1, qsizetype(ms.size() * 0.99))]);
        }
        std::fprintf(stderr, "keys=%lld\n", static_cast<long long>(m_keys.size()));
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && watched == m_viewport->parent()) {
            m_keys.append({m_clock.nsecsElapsed(), 0, 0, 0, 0, 0});
        } else if (event->type() == QEvent::Paint && watched == m_viewport) {
            if (stamp(PaintStart)) {
                // The paint itself runs after this filter: its end is taken
                // by a zero timer, which fires once the event is handled.
                QTimer::singleShot(0, this, [this] {
                    if (stamp(Painted) && m_keys.size() % 50 == 0)
                        print();
                });
            }
        }
        return false;
    }

private:
    enum Stage { Key, Sent, Received, Handled, PaintStart, Painted };
    // Stamps the stage of the newest key once, after the stage before it.
    bool stamp(Stage stage)
    {
        if (m_keys.isEmpty())
            return false;
        auto &k = m_keys.last();
        if (k[stage] != 0 || k[stage - 1] == 0)
            return false;
        k[stage] = m_clock.nsecsElapsed();
        return true;
    }

    QWidget *m_viewport;
    QElapsedTimer m_clock;
    QVector<std::array<qint64, 6>> m_keys;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption colsOpt(QStringLiteral("cols"), QStringLiteral("Columns."), QStringLiteral("C"),
                                     QStringLiteral("120"));
    const QCommandLineOption rowsOpt(QStringLiteral("rows"), QStringLiteral("Rows."), QStringLiteral("R"),
                                     QStringLiteral("40"));
    const QCommandLineOption fileOpt(QStringLiteral("file"), QStringLiteral("Feed this file."), QStringLiteral("F"));
    const QCommandLineOption cmdOpt(QStringLiteral("command"), QStringLiteral("Run this in the local shell."),
                                    QStringLiteral("CMD"));
    const QCommandLineOption holdOpt(QStringLiteral("hold"), QStringLiteral("Keep a fed file's window open."));
    const QCommandLineOption shotOpt(QStringLiteral("shot"), QStringLiteral("Save the window's last picture."),
                                     QStringLiteral("PNG"));
    const QCommandLineOption scrollbackOpt(QStringLiteral("scrollback"),
                                           QStringLiteral("Lines kept: 5000, 10000 or 50000."), QStringLiteral("N"));
    const QCommandLineOption probeOpt(QStringLiteral("probe"),
                                      QStringLiteral("After a fed file: time page scrolls and a find, report memory."));
    const QCommandLineOption traceOpt(QStringLiteral("trace"), QStringLiteral("Time the stages of each typed key."));
    parser.addOptions({colsOpt, rowsOpt, fileOpt, cmdOpt, holdOpt, shotOpt, scrollbackOpt, probeOpt, traceOpt});
    parser.process(app);
    if (parser.isSet(fileOpt) == parser.isSet(cmdOpt)) {
        std::fprintf(stderr, "term_view: give either --file or --command\n");
        return 2;
    }

    if (parser.isSet(scrollbackOpt))
        AppSettings::instance().setValue(QStringLiteral("session/term_view/term/scrollback"), parser.value(scrollbackOpt));
    TerminalView view(QStringLiteral("term_view"), QStringLiteral("term_view"));
    view.setWindowTitle(QStringLiteral("term_view"));
    view.resize(800, 600);
    view.show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    fitToCells(view, parser.value(colsOpt).toInt(), parser.value(rowsOpt).toInt());
    QCoreApplication::processEvents();
    if (view.columns() != parser.value(colsOpt).toInt() || view.rowCount() != parser.value(rowsOpt).toInt())
        std::fprintf(stderr, "term_view: the window holds %d x %d cells\n", view.columns(), view.rowCount());
    view.activateWindow();
    view.terminalEdit()->setFocus();

    KeyTrace trace(view.terminalEdit()->viewport());
    if (parser.isSet(traceOpt)) {
        view.terminalEdit()->installEventFilter(&trace);
        view.terminalEdit()->viewport()->installEventFilter(&trace);
    }

    qint64 received = 0;
    QElapsedTimer clock;
    clock.start();
    // A heartbeat: the longest time the event loop was kept from it.
    QTimer heartbeat;
    QElapsedTimer sinceBeat;
    qint64 longestStall = 0;
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestStall = std::max(longestStall, sinceBeat.elapsed());
        sinceBeat.start();
    });
    // Timed from the start, so a stall before the first beat counts too.
    sinceBeat.start();
    heartbeat.start();
    bool done = false;
    auto finish = [&] {
        if (done)
            return;
        done = true;
        if (parser.isSet(shotOpt))
            view.grab().save(parser.value(shotOpt));
        if (parser.isSet(traceOpt))
            trace.print();
        std::printf("received=%lld dropped=%lld seconds=%.3f longest_stall_ms=%lld\n",
                    static_cast<long long>(received), static_cast<long long>(view.engine()->droppedBytes()),
                    clock.nsecsElapsed() / 1e9, static_cast<long long>(longestStall));
        std::fflush(stdout);
        app.quit();
    };

    QFile file;
    QTimer feeder;
    QTimer closer;
    LocalShellConnection shell;
    if (parser.isSet(fileOpt)) {
        file.setFileName(parser.value(fileOpt));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "term_view: cannot read %s\n", qPrintable(file.fileName()));
            return 1;
        }
        // Fed as a connection would, but never faster than the view drains,
        // so that a file shows whole.
        feeder.setInterval(0);
        QObject::connect(&feeder, &QTimer::timeout, [&] {
            if (view.engine()->pendingBytes() > 512 * 1024)
                return;
            const QByteArray chunk = file.read(64 * 1024);
            received += chunk.size();
            if (!chunk.isEmpty()) {
                view.appendData(chunk);
            } else if (!view.engine()->hasPendingData()) {
                feeder.stop();
                if (parser.isSet(probeOpt))
                    probe(view);
                if (!parser.isSet(holdOpt))
                    QTimer::singleShot(0, &app, finish);
            }
        });
        feeder.start();
        QObject::connect(&app, &QApplication::lastWindowClosed, finish);
    } else {
        shell.setShell(QStringLiteral("bash"));
        QObject::connect(&shell, &Connection::dataReceived, [&](const QByteArray &b) {
            received += b.size();
            trace.received();
            view.appendData(b);
            trace.handled();
        });
        QObject::connect(&view, &TerminalView::sendInput, &shell, [&](const QString &, const QByteArray &b) {
            trace.sent();
            shell.write(b);
        });
        QObject::connect(&view, &TerminalView::replyReady, &shell, [&](const QString &, const QByteArray &b) {
            shell.write(b);
        });
        QObject::connect(&view, &TerminalView::sizeChanged, &shell,
                         [&](const QString &, int c, int r) { shell.resize(c, r); });
        QObject::connect(&view, &TerminalView::readPauseRequested, &shell,
                         [&](const QString &, bool paused) { shell.setReadPaused(paused); });
        // The window closes when the command has ended and its output is drawn.
        closer.setInterval(0);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (!view.engine()->hasPendingData()) {
                closer.stop();
                finish();
            }
        });
        QObject::connect(&shell, &Connection::disconnected, &closer, qOverload<>(&QTimer::start));
        QObject::connect(&app, &QApplication::lastWindowClosed, finish);
        shell.resize(view.columns(), view.rowCount());
        if (!shell.open()) {
            std::fprintf(stderr, "term_view: cannot start the local shell\n");
            return 1;
        }
        // The shell runs the command and ends with it.
        shell.write(QStringLiteral("%1; exit\r").arg(parser.value(cmdOpt)).toLocal8Bit());
        clock.start();
    }
    return app.exec();
}
