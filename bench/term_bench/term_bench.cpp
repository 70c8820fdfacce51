// Throughput of the screen grid, the line-mode renderer and libvterm on the
// same bytes, fed in the same 4096-byte slices, in one process:
//   term_bench FILE...            one line per file
//   term_bench --make-streams DIR writes four typical streams to DIR
// HV_BENCH_ONLY=grid|line|libvterm measures one of them (for profiling).
#include "terminal/terminalengine.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTextDocument>

#include <vterm.h>

#include <cstdio>
#include <functional>

namespace {

constexpr int kCols = 80;
constexpr int kRows = 24;
constexpr qsizetype kSlice = 4096;

// Runs one pass of `feed` over the data repeatedly for at least a second
// and returns megabytes (10^6 bytes) per second.
double measure(const QByteArray &data, const std::function<void()> &setUp,
               const std::function<void(const QByteArray &)> &feed)
{
    QElapsedTimer timer;
    qint64 bytes = 0;
    qint64 elapsed = 0;
    timer.start();
    do {
        setUp();
        for (qsizetype at = 0; at < data.size(); at += kSlice)
            feed(data.mid(at, kSlice));
        bytes += data.size();
        elapsed = timer.nsecsElapsed();
    } while (elapsed < 1000000000LL);
    return double(bytes) / (double(elapsed) / 1e9) / 1e6;
}

double benchGrid(const QByteArray &data)
{
    std::unique_ptr<ScreenGrid> grid;
    ReceiveDecoder decoder;
    return measure(
        data, [&] { grid = std::make_unique<ScreenGrid>(kCols, kRows); decoder = ReceiveDecoder(); },
        [&](const QByteArray &slice) {
            QString rest = decoder.decodeReceived(slice);
            while (!rest.isEmpty())
                rest = grid->feed(rest);
        });
}

double benchLine(const QByteArray &data)
{
    std::unique_ptr<QTextDocument> document;
    std::unique_ptr<TerminalEngine> engine;
    return measure(
        data,
        [&] {
            engine.reset();
            document = std::make_unique<QTextDocument>();
            document->setUndoRedoEnabled(false);
            document->setMaximumBlockCount(5000); // the default scroll-back
            engine = std::make_unique<TerminalEngine>(document.get());
            engine->setTerminalSize(kCols, kRows);
        },
        [&](const QByteArray &slice) { engine->receiveText(engine->decodeReceived(slice)); });
}

double benchVterm(const QByteArray &data)
{
    VTerm *vt = nullptr;
    char sink[4096];
    const double result = measure(
        data,
        [&] {
            if (vt)
                vterm_free(vt);
            vt = vterm_new(kRows, kCols);
            vterm_set_utf8(vt, 1);
            vterm_screen_reset(vterm_obtain_screen(vt), 1);
        },
        [&](const QByteArray &slice) {
            vterm_input_write(vt, slice.constData(), size_t(slice.size()));
            while (vterm_output_read(vt, sink, sizeof sink) > 0) {
            }
        });
    vterm_free(vt);
    return result;
}

QByteArray colouredListing(QRandomGenerator &rng)
{
    static const char *const colours[] = {"01;34", "01;32", "01;36", "00", "01;35", "40;33;01"};
    static const char *const names[] = {"src", "build.sh", "README.md", "libfoo.so.1", "image.png", "Makefile", "notes"};
    QByteArray out;
    while (out.size() < 8 * 1024 * 1024) {
        out += "$ ls -l --color\r\ntotal 128\r\n";
        for (int i = 0; i < 40; ++i) {
            out += "-rw-r--r-- 1 user user " + QByteArray::number(rng.bounded(100000)).rightJustified(6)
                   + " Mar 14 12:" + QByteArray::number(10 + rng.bounded(50)) + " \x1b[" + colours[rng.bounded(6)] + "m"
                   + names[rng.bounded(7)] + QByteArray::number(i) + "\x1b[0m\r\n";
        }
    }
    return out;
}

QByteArray plainText(QRandomGenerator &rng)
{
    QByteArray out;
    static const char *const words[] = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "terminal", "stream"};
    while (out.size() < 8 * 1024 * 1024) {
        QByteArray line;
        while (line.size() < 60 + rng.bounded(18))
            line += QByteArray(words[rng.bounded(10)]) + ' ';
        out += line + "\r\n";
    }
    return out;
}

QByteArray altScreen(QRandomGenerator &rng)
{
    QByteArray out = "\x1b[?1049h\x1b[2J";
    while (out.size() < 8 * 1024 * 1024) {
        out += "\x1b[" + QByteArray::number(1 + rng.bounded(kRows)) + ';' + QByteArray::number(1 + rng.bounded(kCols))
               + "H\x1b[38;5;" + QByteArray::number(rng.bounded(256)) + ";48;5;" + QByteArray::number(rng.bounded(256))
               + (rng.bounded(4) == 0 ? ";1m" : "m") + QByteArray("status field ").left(3 + rng.bounded(10));
        if (rng.bounded(16) == 0)
            out += "\x1b[0m\x1b[K";
    }
    return out;
}

QByteArray wideText(QRandomGenerator &rng)
{
    const QString chars = QStringLiteral("终端模拟器测试中文字符宽度显示日本語のテキスト한국어텍스트");
    QByteArray out;
    while (out.size() < 8 * 1024 * 1024) {
        QString line;
        for (int i = 0; i < 36; ++i)
            line += chars.at(rng.bounded(int(chars.size())));
        out += line.toUtf8() + "\r\n";
    }
    return out;
}

int makeStreams(const QString &dir)
{
    QDir().mkpath(dir);
    QRandomGenerator rng(20240601);
    const std::pair<const char *, QByteArray> streams[] = {
        {"ls_colour.txt", colouredListing(rng)},
        {"plain_scroll.txt", plainText(rng)},
        {"altscreen_random.txt", altScreen(rng)},
        {"wide_text.txt", wideText(rng)},
    };
    for (const auto &[name, bytes] : streams) {
        QFile f(QDir(dir).filePath(QString::fromLatin1(name)));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
            return 1;
        }
        std::printf("%s\n", qPrintable(f.fileName()));
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    QGuiApplication app(qargc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--make-streams")
        return makeStreams(QString::fromLocal8Bit(argv[2]));
    if (argc < 2) {
        std::fprintf(stderr, "usage: term_bench FILE... | term_bench --make-streams DIR\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        QFile f(QString::fromLocal8Bit(argv[i]));
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const QByteArray data = f.readAll();
        if (data.isEmpty())
            continue;
        const QByteArray only = qgetenv("HV_BENCH_ONLY");
        const double grid = only.isEmpty() || only == "grid" ? benchGrid(data) : 0;
        const double line = only.isEmpty() || only == "line" ? benchLine(data) : 0;
        const double vterm = only.isEmpty() || only == "libvterm" ? benchVterm(data) : 0;
        std::printf("%s grid_MBps=%.1f line_MBps=%.1f libvterm_MBps=%.1f\n", argv[i], grid, line, vterm);
        std::fflush(stdout);
    }
    return 0;
}
