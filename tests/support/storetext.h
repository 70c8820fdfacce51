#pragma once

// The session store in one line, for comparing what an operation left behind.
#include "core/sessionstore.h"

#include <QStringList>

// "group(name name:type) group() | ungrouped": the type after any but SSH, a
// "!" after a session whose group field is not the name of its group.
inline QString sessionLayout(const SessionStore &store)
{
    const auto names = [](const QList<SessionInfo> &list, const QString &group) {
        QStringList out;
        for (const SessionInfo &s : list)
            out << s.name + (s.type == u"ssh" ? QString() : ':' + s.type) + (s.group == group ? "" : "!");
        return out.join(' ');
    };
    QStringList parts;
    for (const SessionGroup &g : store.groups())
        parts << g.name + '(' + names(g.sessions, g.name) + ')';
    return (parts + QStringList{"|", names(store.ungrouped(), QString())}).join(' ').trimmed();
}

// "label(text=command:colour text)": the command when it is not the text.
inline QString buttonLayout(const SessionStore &store)
{
    QStringList out;
    for (const ButtonGroup &g : store.buttonGroups()) {
        QStringList texts;
        for (const ButtonCommand &b : g.buttons)
            texts << b.text + (b.command == b.text ? "" : '=' + b.command) + (b.color.isEmpty() ? "" : ':' + b.color);
        out << g.label + '(' + texts.join(' ') + ')';
    }
    return out.join(' ');
}
