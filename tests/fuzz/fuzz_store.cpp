// Fuzz target: the bytes of the sessions file and of the buttons file. What a
// save writes must read back whole and the same; a file read without loss
// keeps every text it held.
#include "core/sessionstore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Names the broken promise before stopping, so a finding says what it is.
#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "broken: %s\n", #ok), std::abort()))

// Every text in the document, but those the store never keeps (the state
// word, the group name repeated in a session).
void texts(const QJsonValue &value, QSet<QString> *out)
{
    if (value.isString()) {
        out->insert(value.toString());
    } else if (value.isArray()) {
        for (const QJsonValue &v : value.toArray())
            texts(v, out);
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.key() != QLatin1String("status") && it.key() != QLatin1String("group"))
                texts(it.value(), out);
        }
    }
}

bool keepsTexts(const QByteArray &input, const QByteArray &saved)
{
    QSet<QString> before;
    QSet<QString> after;
    texts(QJsonDocument::fromJson(input).object(), &before);
    texts(QJsonDocument::fromJson(saved).object(), &after);
    return after.contains(before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    QList<SessionGroup> groups;
    QList<SessionInfo> ungrouped;
    bool lossy = false;
    SessionStore::parseSessions(input, &groups, &ungrouped, &lossy);
    const QByteArray saved = SessionStore::sessionsDocument(groups, ungrouped);
    check(lossy || keepsTexts(input, saved));
    QList<SessionGroup> groups2;
    QList<SessionInfo> ungrouped2;
    bool lossy2 = true;
    SessionStore::parseSessions(saved, &groups2, &ungrouped2, &lossy2);
    check(!lossy2 && SessionStore::sessionsDocument(groups2, ungrouped2) == saved);

    QList<ButtonGroup> buttons;
    SessionStore::parseButtons(input, &buttons, &lossy);
    const QByteArray savedButtons = SessionStore::buttonsDocument(buttons);
    check(lossy || keepsTexts(input, savedButtons));
    QList<ButtonGroup> buttons2;
    SessionStore::parseButtons(savedButtons, &buttons2, &lossy2);
    check(!lossy2 && SessionStore::buttonsDocument(buttons2) == savedButtons);
    return 0;
}
