// Fuzz target: a hostile host's answers to the environment probe, the
// `uname -s` output and the command listing that feeds completion (from
// where a name can be sent as typed). A name taken is a line of the
// listing, printable, without blanks or path separators, taken once.
#include "connections/sshconnection.h"

#include <QHash>

#include <cstdint>

#include "fuzzcheck.h" // last: its check() would clash with Qt's headers

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype cut = input.indexOf('\0');
    const QString os = sshRemoteOsFor(QString::fromUtf8(input.left(cut)));
    check(os.isEmpty() || os == QLatin1String("linux"));

    const QString listing = QString::fromUtf8(cut < 0 ? QByteArray() : input.mid(cut + 1));
    QHash<QString, qsizetype> firstLine;
    const QStringList lines = listing.split(QLatin1Char('\n'));
    for (qsizetype i = lines.size() - 1; i >= 0; --i)
        firstLine[lines[i].trimmed()] = i;
    qsizetype last = -1;
    for (const QString &name : sshRemoteCommandList(listing)) {
        check(name.size() >= 2 && name.size() <= 64);
        for (const char32_t c : name.toUcs4())
            check(QChar::isPrint(c) && !QChar::isSpace(c) && c != U'/' && c != U'\\');
        // In the order of first appearance, so also never twice.
        check(firstLine.contains(name) && firstLine[name] > last);
        last = firstLine[name];
    }
    return 0;
}
