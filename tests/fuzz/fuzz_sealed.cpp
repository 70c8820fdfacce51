// A saved password as the settings file holds it: a changed, cut, lengthened or wrongly labelled
// blob opens to nothing, never to a password.
#include "core/passwordprotection.h"
#include "platform/dataprotection.h"

#include <QDir>
#include <QFileInfo>

#include "fuzzcheck.h"

namespace {

const QString password = QStringLiteral("pässwörd 密码");

struct Sealed { QByteArray current, legacy; };

// The key lives beside the program, in the build folder, not in the user's configuration.
const Sealed &sealed()
{
    static const Sealed blobs = [] {
        const QString home = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() + QStringLiteral("/fuzz_sealed_home");
        QDir().mkpath(home);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        Sealed s;
        s.current = QByteArray::fromBase64(protectSecret(password).mid(7).toLatin1());
        const QByteArray units(reinterpret_cast<const char *>(password.utf16()), password.size() * 2);
        check(platform::protectBlob(units, QByteArray(), &s.legacy) && !s.current.isEmpty());
        return s;
    }();
    return blobs;
}

} // namespace

FUZZ_SEEDED_TARGET(seed, input)
{
    const Sealed &blobs = sealed();
    const bool legacyLabel = seed & 1, legacyBlob = seed & 2;
    const QLatin1String label(legacyLabel ? "dpapi:" : "dpapi1:");
    if (seed & 4) { // the stored text as it comes
        const QString opened = unprotectSecret(label + QString::fromLatin1(input));
        check(opened.isEmpty() || opened == password);
        return;
    }
    // A real blob with the input laid over it from a place it picks, and
    // cut or lengthened to a size it picks.
    const QByteArray &base = legacyBlob ? blobs.legacy : blobs.current;
    const qsizetype at = input.isEmpty() ? 0 : quint8(input[0]) % (base.size() + 1);
    const qsizetype length = std::max(at + input.size() - 1, (seed >> 3) ? at : base.size());
    QByteArray blob = base.left(length) + QByteArray(std::max<qsizetype>(0, length - base.size()), '\0');
    for (qsizetype i = 1; i < input.size(); ++i)
        blob[at + i - 1] = char(blob[at + i - 1] ^ input[i]);
    const QString opened = unprotectSecret(label + QString::fromLatin1(blob.toBase64()));
    check(opened.isEmpty() || (opened == password && blob == base && legacyLabel == legacyBlob));
}
