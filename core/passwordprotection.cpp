#include "core/passwordprotection.h"

#include "core/appsettings.h"
#include "platform/dataprotection.h"

#include <QtEndian>

namespace {

const QLatin1String kCurrentPrefix("dpapi1:");
const QLatin1String kLegacyPrefix("dpapi:");

// Binds current-form values to this purpose; the same 32 bytes in every build.
QByteArray entropy()
{
    return QByteArray::fromHex("5a3c91e07bd24f6a88c1d7e2093fb4a6c57e1d0892ab43f6e1097c3d5b28fa14");
}

// Passwords are sealed as UTF-16 little-endian code units, without a
// terminating zero, so the stored form does not depend on the host's byte order.
QByteArray toUtf16Le(const QString &text)
{
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        qToLittleEndian<quint16>(text.at(i).unicode(), out.data() + 2 * i);
    return out;
}

QString fromUtf16Le(const QByteArray &bytes)
{
    QString out(bytes.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < out.size(); ++i)
        out[i] = QChar(qFromLittleEndian<quint16>(bytes.constData() + 2 * i));
    return out;
}

void wipe(QByteArray &bytes)
{
    bytes.fill('\0');
}

} // namespace

QString protectSecret(const QString &plain)
{
    if (plain.isEmpty())
        return QString();
    QByteArray units = toUtf16Le(plain);
    QByteArray sealed;
    QString error;
    const bool ok = platform::protectBlob(units, entropy(), &sealed, &error);
    wipe(units);
    if (!ok) {
        qWarning("Password could not be sealed: %s", qPrintable(error));
        return QString();
    }
    return kCurrentPrefix + QString::fromLatin1(sealed.toBase64());
}

QString dpapiUnprotect(const QByteArray &base64, bool withEntropy)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        qWarning("Saved password is not valid Base64; it is ignored");
        return QString();
    }
    QByteArray units;
    QString error;
    if (!platform::unprotectBlob(*decoded, withEntropy ? entropy() : QByteArray(), &units, &error)) {
        qWarning("Saved password could not be opened: %s", qPrintable(error));
        return QString();
    }
    if (units.size() % 2 != 0) {
        wipe(units);
        qWarning("Saved password has an odd length; it is ignored");
        return QString();
    }
    const QString text = fromUtf16Le(units);
    wipe(units);
    return text;
}

QString unprotectSecret(const QString &stored)
{
    if (stored.startsWith(kCurrentPrefix))
        return dpapiUnprotect(stored.mid(kCurrentPrefix.size()).toLatin1(), true);
    if (stored.startsWith(kLegacyPrefix))
        return dpapiUnprotect(stored.mid(kLegacyPrefix.size()).toLatin1(), false);
    return stored;
}

bool isLegacyProtected(const QString &stored)
{
    return stored.startsWith(kLegacyPrefix);
}

bool isCurrentlyProtected(const QString &stored)
{
    return stored.startsWith(kCurrentPrefix);
}

QString readSavedPassword(const QString &prefix)
{
    AppSettings &settings = AppSettings::instance();
    const QString key = prefix + QStringLiteral("conn/pass");
    const QString stored = settings.getString(key, QString());
    const QString password = unprotectSecret(stored);
    if (isLegacyProtected(stored)) {
        const QString current = protectSecret(password);
        if (!current.isEmpty())
            settings.setValue(key, current);
        settings.sync();
    }
    return password;
}

bool saveCredentials(const QString &prefix, const QString &user, const QString &password)
{
    AppSettings &settings = AppSettings::instance();
    settings.setValue(prefix + QStringLiteral("conn/user"), user);
    bool saved = true;
    if (password.isEmpty()) {
        settings.setValue(prefix + QStringLiteral("conn/pass"), QString());
    } else {
        const QString sealed = protectSecret(password);
        saved = !sealed.isEmpty();
        if (saved)
            settings.setValue(prefix + QStringLiteral("conn/pass"), sealed);
    }
    settings.sync();
    return saved;
}
