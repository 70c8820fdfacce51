#include "core/sessioninfo.h"

#include <QJsonValue>
#include <QUuid>

#include <cmath>

namespace {

QString stringOf(const QJsonObject &object, const QString &key)
{
    return object.value(key).toString();
}

// Older files and hand edits may hold the port as a number; reading it as
// empty would lose it at the next save, so a whole number keeps its digits.
QString portOf(const QJsonObject &object)
{
    const QJsonValue value = object.value(QStringLiteral("port"));
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 1e15)
            return QString::number(qint64(number));
    }
    return QString();
}

} // namespace

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
    s.serial_port = serial.serial_port;
    s.serial_baud = serial.serial_baud;
    s.serial_databits = serial.serial_databits;
    s.serial_stopbits = serial.serial_stopbits;
    s.serial_parity = serial.serial_parity;
    s.serial_flow = serial.serial_flow;
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

SessionInfo SessionInfo::fromJson(const QJsonObject &object, const QString &groupName)
{
    SessionInfo s;
    s.id = stringOf(object, QStringLiteral("id"));
    s.name = stringOf(object, QStringLiteral("name"));
    s.type = stringOf(object, QStringLiteral("type"));
    s.icon = stringOf(object, QStringLiteral("icon"));
    s.host = stringOf(object, QStringLiteral("host"));
    s.port = portOf(object);
    s.status = QStringLiteral("idle");
    s.group = groupName;
    s.env_type = object.value(QStringLiteral("env_type")).toString(QStringLiteral("auto"));
    // Early files kept the device name of a serial session in "host".
    s.serial_port = stringOf(object, QStringLiteral("serial_port"));
    if (s.serial_port.isEmpty())
        s.serial_port = s.host;
    s.serial_baud = object.value(QStringLiteral("serial_baud")).toInt(115200);
    s.serial_databits = object.value(QStringLiteral("serial_databits")).toInt(8);
    s.serial_stopbits = object.value(QStringLiteral("serial_stopbits")).toInt(1);
    s.serial_parity = object.value(QStringLiteral("serial_parity")).toInt(0);
    s.serial_flow = object.value(QStringLiteral("serial_flow")).toInt(0);
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

ButtonCommand ButtonCommand::fromJson(const QJsonObject &object)
{
    return ButtonCommand{stringOf(object, QStringLiteral("text")), stringOf(object, QStringLiteral("command")),
                         stringOf(object, QStringLiteral("color"))};
}

QJsonObject ButtonCommand::toJson() const
{
    return QJsonObject{
        {QStringLiteral("text"), text},
        {QStringLiteral("command"), command},
        {QStringLiteral("color"), color},
    };
}
