// Feeds standard input through the receive decoding into the screen grid or
// the line-mode renderer and prints what results, for comparing screens by
// eye or by script.
#include "terminal/palette.h"
#include "terminal/terminalengine.h"

#include <QGuiApplication>
#include <QTextBlock>
#include <QTextDocument>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

namespace {

QString colourName(QRgb rgb)
{
    return rgb ? QColor::fromRgb(rgb).name() : QStringLiteral("-");
}

QString describe(const TextAttributes &a)
{
    QString s = QStringLiteral("fg=%1 bg=%2").arg(colourName(a.foreground), colourName(a.background));
    static const std::pair<TextAttributes::Flag, const char *> names[] = {
        {TextAttributes::Bold, "bold"}, {TextAttributes::Dim, "dim"}, {TextAttributes::Italic, "italic"},
        {TextAttributes::Underline, "underline"}, {TextAttributes::Inverse, "inverse"}, {TextAttributes::Strike, "strike"}};
    for (const auto &[flag, name] : names)
        if (a.has(flag))
            s += u' ' + QLatin1String(name);
    return s;
}

QString describe(const QTextCharFormat &f)
{
    QString s = QStringLiteral("fg=%1 bg=%2")
                    .arg(f.foreground().color().name(),
                         f.background().style() == Qt::NoBrush ? QStringLiteral("-") : f.background().color().name());
    if (f.fontWeight() == 700)
        s += QStringLiteral(" bold");
    if (f.fontWeight() == 300)
        s += QStringLiteral(" dim");
    if (f.fontItalic())
        s += QStringLiteral(" italic");
    if (f.fontUnderline())
        s += QStringLiteral(" underline");
    if (f.fontStrikeOut())
        s += QStringLiteral(" strike");
    return s;
}

void out(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

int usage()
{
    std::fprintf(stderr, "usage: term_dump --mode grid|line --rows R --cols C [--attrs] [--slice BYTES] < stream\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QString mode = QStringLiteral("grid");
    int rows = 24, cols = 80;
    bool attrs = false;
    int slice = 4096;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--mode") && hasValue)
            mode = QString::fromLatin1(argv[++i]);
        else if (!std::strcmp(argv[i], "--rows") && hasValue)
            rows = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--cols") && hasValue)
            cols = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--slice") && hasValue)
            slice = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--attrs"))
            attrs = true;
        else
            return usage();
    }
    if (mode != QStringLiteral("grid") && mode != QStringLiteral("line"))
        return usage();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    QGuiApplication app(qargc, argv);

    const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    const QByteArray bytes = QByteArray::fromStdString(input);

    QTextDocument document;
    TerminalEngine engine(&document);
    engine.setTerminalSize(cols, rows);
    ScreenGrid grid(cols, rows);
    const bool gridMode = mode == QStringLiteral("grid");
    for (qsizetype at = 0; at < bytes.size(); at += slice) {
        const QString text = engine.decodeReceived(bytes.mid(at, slice));
        if (!gridMode) {
            engine.receiveText(text);
            continue;
        }
        // The grid alone: leaving the alternate screen does not end it here.
        QString rest = text;
        while (!rest.isEmpty())
            rest = grid.feed(rest);
    }

    if (gridMode) {
        for (int r = 0; r < grid.rowCount(); ++r) {
            std::vector<CellRun> runs;
            QString line = grid.rowText(r, &runs);
            while (line.endsWith(u' '))
                line.chop(1);
            out(line);
            if (attrs)
                for (const CellRun &run : runs)
                    out(QStringLiteral("  %1-%2 %3").arg(run.start).arg(run.end).arg(describe(run.attributes)));
        }
        out(QStringLiteral("cursor %1,%2").arg(grid.cursorRow + 1).arg(grid.cursorCol + 1));
        return 0;
    }
    QTextDocument *shown = engine.grid() && engine.altDocument() ? engine.altDocument() : &document;
    for (QTextBlock b = shown->begin(); b.isValid(); b = b.next()) {
        out(b.text());
        if (!attrs)
            continue;
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            const int start = f.position() - b.position();
            out(QStringLiteral("  %1-%2 %3").arg(start).arg(start + f.length()).arg(describe(f.charFormat())));
        }
    }
    return 0;
}
