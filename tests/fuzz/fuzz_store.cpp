// The sessions and buttons files: what a save writes reads back whole and the same; a file read
// without loss keeps every text it held.
#include "core/sessionstore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <functional>

#include "fuzzcheck.h"

namespace {

// Every text in the document, but those the store never keeps (the state
// word, the group name repeated in a session).
void texts(const QJsonValue &value, QSet<QString> *out)
{
    if (value.isString())
        out->insert(value.toString());
    for (const QJsonValue &v : value.toArray())
        texts(v, out);
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (it.key() != "status" && it.key() != "group")
            texts(it.value(), out);
}

bool keepsTexts(const QByteArray &input, const QByteArray &saved)
{
    QSet<QString> before, after;
    texts(QJsonDocument::fromJson(input).object(), &before);
    texts(QJsonDocument::fromJson(saved).object(), &after);
    return after.contains(before);
}

} // namespace

FUZZ_TARGET(input)
{
    // Each file read and saved again, telling whether the reading lost anything.
    const std::function<QByteArray(const QByteArray &, bool *)> resaves[] = {
        [](const QByteArray &bytes, bool *lossy) {
            QList<SessionGroup> groups;
            QList<SessionInfo> ungrouped;
            SessionStore::parseSessions(bytes, &groups, &ungrouped, lossy);
            return SessionStore::sessionsDocument(groups, ungrouped);
        },
        [](const QByteArray &bytes, bool *lossy) {
            QList<ButtonGroup> buttons;
            SessionStore::parseButtons(bytes, &buttons, lossy);
            return SessionStore::buttonsDocument(buttons);
        }};
    for (const auto &resave : resaves) {
        bool lossy = false, lossyAgain = true;
        const QByteArray saved = resave(input, &lossy);
        check(lossy || keepsTexts(input, saved));
        check(resave(saved, &lossyAgain) == saved && !lossyAgain);
    }
}
