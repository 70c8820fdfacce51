// A hostile host's answers to the environment probe (`uname -s`, then the command listing whose names
// completion may send as typed): a name taken is a printable listing line, no blanks or slashes, once.
#include "connections/sshconnection.h"

#include <QHash>

#include "fuzzcheck.h"

FUZZ_TARGET(input)
{
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
}
