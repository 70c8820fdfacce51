#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <initializer_list>

// Plain value records of the session and button store. They are copied
// freely; the store hands out copies, never references into its lists.

// Reads the values of the store's files. Whatever a file holds that the
// records cannot keep (a value of another type, an element that is not an
// object, a key no record has) is noted in `lossy`, so that the store can keep
// the original before a save writes over it. A number where text belongs is
// read as its text; a key that is simply missing takes its default.
struct StoredReader {
    bool lossy = false;

    QString text(const QJsonObject &object, const char *key, const QString &fallback = QString());
    qint32 integer(const QJsonObject &object, const char *key, qint32 fallback);
    QJsonArray array(const QJsonObject &object, const char *key);
    QJsonObject object(const QJsonValue &value);
    void onlyKeys(const QJsonObject &object, std::initializer_list<const char *> known);
};

struct SerialParams;

// One saved session as it appears in "halvorstead_sessions.json".
struct SessionInfo {
    QString id;          // a UUID without braces
    QString name;
    QString type;        // "ssh", "telnet", "raw", "rlogin", "serial" or "local"
    QString icon;        // an emoji for the session tree
    QString status;      // "idle", "connecting", "connected" or "disconnected"
    QString host;
    QString port;        // text, as the user typed it
    QString group;       // the enclosing group's name; never written to the file
    QString env_type = QStringLiteral("auto");
    QString serial_port = QStringLiteral("COM1");
    qint32 serial_baud = 115200;
    qint32 serial_databits = 8;
    qint32 serial_stopbits = 1;  // 1 one, 2 two, 3 one and a half
    qint32 serial_parity = 0;    // 1 odd, 2 even, 3 mark, 4 space, else none
    qint32 serial_flow = 0;      // 0 none, 1 RTS/CTS, 2 XON/XOFF

    SerialParams serialParams() const;
    void setSerial(const SerialParams &serial);

    // A record read from one session object. The state word is never trusted
    // from the file: every session starts "idle".
    static SessionInfo fromJson(const QJsonObject &object, const QString &groupName, StoredReader *reader = nullptr);
    QJsonObject toJson() const;
};
// Only implicitly shared texts and numbers: a list of thousands grows by
// moving its memory, not by copying every record.
Q_DECLARE_TYPEINFO(SessionInfo, Q_RELOCATABLE_TYPE);

struct SessionGroup {
    QString name;
    QString icon;
    QList<SessionInfo> sessions; // display order
};

struct ButtonCommand {
    QString text;    // caption
    QString command; // characters sent, or a script name ending in ".vbs" or ".py"
    QString color;   // a colour key of the button strip, kept as read

    static ButtonCommand fromJson(const QJsonObject &object, StoredReader *reader = nullptr);
    QJsonObject toJson() const;
};

struct ButtonGroup {
    QString label;
    QList<ButtonCommand> buttons; // display order
};

// The serial part of a new session.
struct SerialParams {
    QString serial_port = QStringLiteral("COM1");
    qint32 serial_baud = 115200;
    qint32 serial_databits = 8;
    qint32 serial_stopbits = 1;
    qint32 serial_parity = 0;
    qint32 serial_flow = 0;
};

// The icon every group gets when the store creates it (and when a stored
// group has none).
QString defaultGroupIcon();

// A fresh session id: a random UUID without braces.
QString newSessionId();

// A new "idle" record with a fresh id and the icon of its type.
SessionInfo makeSessionInfo(const QString &name, const QString &type, const QString &host, const QString &port,
                            const SerialParams &serial, const QString &groupName);
