#include "core/sessioninfo.h"

#include <QJsonValue>
#include <QLocale>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <cstdint>

QString StoredReader::text(const QJsonObject &object, const char *key, const QString &fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        // Hand edits and older files hold ports and names as numbers.
        const double number = value.toDouble();
        if (number == std::floor(number) && std::fabs(number) < 9007199254740992.0)
            return QString::number(qint64(number));
        return QString::number(number, 'g', QLocale::FloatingPointShortest);
    }
    lossy = lossy || !value.isUndefined();
    return fallback;
}

qint32 StoredReader::integer(const QJsonObject &object, const char *key, qint32 fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    const double number = value.toDouble(0.5);
    if (value.isDouble() && number == std::floor(number) && number >= INT32_MIN && number <= INT32_MAX)
        return qint32(number);
    lossy = lossy || !value.isUndefined();
    return fallback;
}

QJsonArray StoredReader::array(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    lossy = lossy || !(value.isArray() || value.isUndefined());
    return value.toArray();
}

QJsonObject StoredReader::object(const QJsonValue &value)
{
    lossy = lossy || !value.isObject();
    return value.toObject();
}

void StoredReader::onlyKeys(const QJsonObject &object, std::initializer_list<const char *> known)
{
    // Keys are unique, so counting the known ones present tells whether any
    // other is there, without making a string of every key: a store of
    // thousands of sessions is read on the way to the first window.
    qsizetype present = 0;
    for (const char *k : known)
        present += object.contains(QLatin1String(k)) ? 1 : 0;
    lossy = lossy || present != object.size();
}

QString defaultGroupIcon()
{
    return QStringLiteral("🗂️");
}

QString newSessionId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

SessionInfo makeSessionInfo(const QString &name, const QString &type, const QString &host, const QString &port,
                            const SerialParams &serial, const QString &groupName)
{
    SessionInfo s;
    s.id = newSessionId();
    s.name = name;
    s.type = type;
    s.host = host;
    s.port = port;
    s.group = groupName;
    s.setSerial(serial);
    s.status = QStringLiteral("idle");

    const QString kind = type.toLower();
    if (kind == QLatin1String("ssh"))
        s.icon = QStringLiteral("🌐");
    else if (kind == QLatin1String("telnet") || kind == QLatin1String("raw"))
        s.icon = QStringLiteral("📡");
    else if (kind == QLatin1String("serial"))
        s.icon = QStringLiteral("🔌");
    else if (kind == QLatin1String("local"))
        s.icon = QStringLiteral("💻");
    else
        s.icon = QStringLiteral("🖥️");
    return s;
}

SessionInfo SessionInfo::fromJson(const QJsonObject &object, const QString &groupName, StoredReader *reader)
{
    StoredReader own;
    StoredReader &r = reader ? *reader : own;
    r.onlyKeys(object, {"id", "name", "type", "icon", "status", "host", "port", "group", "env_type", "serial_port",
                        "serial_baud", "serial_databits", "serial_stopbits", "serial_parity", "serial_flow"});
    SessionInfo s;
    s.id = r.text(object, "id");
    s.name = r.text(object, "name");
    s.type = r.text(object, "type");
    s.icon = r.text(object, "icon");
    s.host = r.text(object, "host");
    s.port = r.text(object, "port");
    s.status = QStringLiteral("idle"); // never trusted from the file, so never a loss
    s.group = groupName;
    s.env_type = r.text(object, "env_type", QStringLiteral("auto"));
    // Early files kept the device name of a serial session in "host".
    s.serial_port = r.text(object, "serial_port");
    if (s.serial_port.isEmpty())
        s.serial_port = s.host;
    s.serial_baud = r.integer(object, "serial_baud", 115200);
    s.serial_databits = r.integer(object, "serial_databits", 8);
    s.serial_stopbits = r.integer(object, "serial_stopbits", 1);
    s.serial_parity = r.integer(object, "serial_parity", 0);
    s.serial_flow = r.integer(object, "serial_flow", 0);
    return s;
}

QJsonObject SessionInfo::toJson() const
{
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("type"), type},
        {QStringLiteral("icon"), icon},
        {QStringLiteral("status"), status},
        {QStringLiteral("host"), host},
        {QStringLiteral("port"), port},
        {QStringLiteral("env_type"), env_type},
        {QStringLiteral("serial_port"), serial_port},
        {QStringLiteral("serial_baud"), serial_baud},
        {QStringLiteral("serial_databits"), serial_databits},
        {QStringLiteral("serial_stopbits"), serial_stopbits},
        {QStringLiteral("serial_parity"), serial_parity},
        {QStringLiteral("serial_flow"), serial_flow},
    };
}

ButtonCommand ButtonCommand::fromJson(const QJsonObject &object, StoredReader *reader)
{
    StoredReader own;
    StoredReader &r = reader ? *reader : own;
    r.onlyKeys(object, {"text", "command", "color"});
    return ButtonCommand{r.text(object, "text"), r.text(object, "command"), r.text(object, "color")};
}

QJsonObject ButtonCommand::toJson() const
{
    return QJsonObject{
        {QStringLiteral("text"), text},
        {QStringLiteral("command"), command},
        {QStringLiteral("color"), color},
    };
}

SerialParams SessionInfo::serialParams() const
{
    return SerialParams{serial_port, serial_baud, serial_databits, serial_stopbits, serial_parity, serial_flow};
}

void SessionInfo::setSerial(const SerialParams &serial)
{
    serial_port = serial.serial_port;
    serial_baud = serial.serial_baud;
    serial_databits = serial.serial_databits;
    serial_stopbits = serial.serial_stopbits;
    serial_parity = serial.serial_parity;
    serial_flow = serial.serial_flow;
}
