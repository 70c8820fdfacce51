#pragma once

#include <QString>

// The effective logging options of one session, resolved from the global
// "log/" settings or, when the session overrides them, its own. The choice
// fields carry Chinese source texts whatever the interface language, so the
// logger can compare them in any language.
struct SessionLogOptions {
    bool onOpen = false;
    QString dir;              // path variables expanded, "/" separators
    QString file;             // file-name pattern, placeholders left for the logger
    QString direction;        // source text, e.g. "收发都记录"
    QString mode;             // source text, e.g. "纯文本"
    QString timestamp;        // a date-time format; empty: no timestamp
    qint32 rotate = 10;       // split size in MB; 0: never split
    bool rotateMidnight = false;
    bool onOpenCopy = false;  // always equal to onOpen
    QString onConnect;
    QString onDisconnect;
    QString linePrefix;
    QString startMode;        // source text, e.g. "追加"
};

// The date-time format for a timestamp choice of the option dialogs: empty
// for none, the named formats for the fixed choices, else the choice itself.
QString timestampFormat(const QString &choice);
