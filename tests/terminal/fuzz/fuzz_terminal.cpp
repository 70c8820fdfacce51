// Fuzz target: arbitrary bytes through the receive decoding into the screen
// grid (at a size taken from the input) and into the line-mode renderer,
// in slices, with resizes in between. Built as a libFuzzer target under
// clang with the sanitizers, otherwise as a program that replays a corpus.
#include "terminal/terminalengine.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstdint>

namespace {

void runOne(const uint8_t *data, size_t size)
{
    if (size < 3)
        return;
    // The first bytes choose the screen size, the slice length and the
    // encoding. Up to 63 rows: taller screens reach no other code, and
    // their cells, built for every input, cost more than the input's bytes.
    const int cols = data[0], rows = data[1] % 64, slice = 1 + (data[2] & 0x7F);
    const bool gbk = data[2] & 0x80;
    data += 3;
    size -= 3;

    ScreenGrid grid(cols, rows);
    QByteArray replies;
    grid.reply = [&](const QByteArray &b) { replies += b; };
    grid.clearDirty();
    ReceiveDecoder gridDecoder;
    // One engine for every input, which is what makes thousands of inputs
    // a second: building a document and an engine costs more than most
    // inputs. Emptied as the view's clear does, so that an input does the
    // same whatever came before it.
    static auto *document = new QTextDocument;
    static auto *shared = [] {
        document->setMaximumBlockCount(200);
        document->setUndoRedoEnabled(false); // as the view has it
        return new TerminalEngine(document);
    }();
    TerminalEngine &engine = *shared;
    engine.clear();
    TerminalSettings settings;
    settings.encoding = gbk ? QStringLiteral("GBK") : QStringLiteral("默认");
    settings.highlightRules = {HighlightRule{QStringLiteral("a+"), QStringLiteral("正则"), QStringLiteral("红"), {}},
                               HighlightRule{QStringLiteral("ab"), QStringLiteral("子串"), QStringLiteral("#00ff00"), {}}};
    settings.bs08 = true;
    settings.scrollback = 0;
    engine.applySettings(settings);
    gridDecoder.encoding = settings.encoding;
    engine.setTerminalSize(cols / 2, rows / 2);
    int turn = 0;
    for (size_t at = 0; at < size; at += size_t(slice)) {
        const QByteArray bytes(reinterpret_cast<const char *>(data + at), int(std::min(size - at, size_t(slice))));
        QString rest = gridDecoder.decodeReceived(bytes);
        while (!rest.isEmpty())
            rest = grid.feed(rest);
        engine.receiveText(engine.decodeReceived(bytes));
        // A few resizes per input: each builds the screen anew, and one
        // every seven slices of a long input cost more than they found.
        if (++turn % 7 == 0 && turn <= 70) {
            grid.resize(cols - turn % 13, rows + turn % 5);
            engine.setTerminalSize(cols - turn % 11, rows - turn % 3);
            engine.expectErasedEcho(turn % 3);
        }
        if (grid.cursorRow < 0 || grid.cursorRow >= grid.rowCount() || grid.cursorCol < 0
            || grid.cursorCol >= grid.columnCount() || grid.scanner().heldUnits() > EscapeScanner::MaxString
            || engine.lineRenderer().scanner().heldUnits() > EscapeScanner::MaxString)
            std::abort();
    }
    // Every row renders to runs that lie inside its text, and the cursor
    // offset falls inside the text (the picture the view draws). Rows the
    // input never touched are blank.
    for (int r = 0; r < grid.rowCount(); ++r) {
        if (!grid.rowChanged(r))
            continue;
        std::vector<CellRun> runs;
        const QString text = grid.rowText(r, &runs);
        for (const CellRun &run : runs)
            if (run.start < 0 || run.end > text.size() || run.start > run.end)
                std::abort();
        if (grid.textOffset(r, grid.columnCount()) > grid.columnCount())
            std::abort();
    }
    engine.appendHtml(QStringLiteral("<b>x</b>"));
    engine.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The application lives until the process ends and is never destroyed:
    // tearing it down from an exit handler is not supported.
    if (!QCoreApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz_terminal", *argv[] = {name, nullptr};
        new QGuiApplication(argc, argv);
    }
    runOne(data, size);
    return 0;
}
