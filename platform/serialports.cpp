#include "platform/serialports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace platform {

namespace {

// "ttyUSB10" -> ("ttyUSB", 10); a name without a trailing number sorts first
// within its stem.
std::pair<QString, long long> splitName(const QString &name)
{
    static const QRegularExpression tail(QStringLiteral("^(.*?)(\\d+)$"));
    const auto m = tail.match(name);
    if (!m.hasMatch())
        return {name, -1};
    return {m.captured(1), m.captured(2).left(15).toLongLong()};
}

bool hasNoUart(const QString &entry)
{
    QFile type(entry + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return false; // USB and ACM adapters have no such file
    return type.read(32).trimmed() == "0";
}

} // namespace

QStringList listSerialPorts(const QString &classDir)
{
    QStringList ports;
    const QDir dir(classDir);
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        const QString entry = dir.filePath(name);
        if (!QFileInfo::exists(entry + QStringLiteral("/device")))
            continue;
        if (hasNoUart(entry))
            continue;
        ports << name;
    }
    std::sort(ports.begin(), ports.end(), [](const QString &a, const QString &b) {
        const auto x = splitName(a), y = splitName(b);
        return x != y ? x < y : a < b;
    });
    return ports;
}

} // namespace platform
