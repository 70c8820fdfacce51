#include "core/sessionstore.h"

#include "core/datadir.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>

namespace {

const QString kSessionsFile = QLatin1String(SessionStore::sessionsFileName);
const QString kButtonsFile = QLatin1String(SessionStore::buttonsFileName);

bool holdsSession(const QList<SessionInfo> &list, const QString &name, const QString &type,
                  const QString &exceptId)
{
    for (const SessionInfo &s : list) {
        if (s.id != exceptId && s.name == name && s.type == type)
            return true;
    }
    return false;
}

// A free name beside the file that says when it was put aside.
QString asideName(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss"));
    QString target = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(target) && n < 100; ++n)
        target = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
    return target;
}

// Moves an unreadable file out of the way, so that the next save cannot
// overwrite the user's only copy.
bool keepAside(const QString &path, QList<SessionStore::Notice> *notices)
{
    const QString target = asideName(path);
    if (QFile::rename(path, target)) {
        notices->append({SessionStore::Notice::SetAside, target});
        qWarning().noquote() << QStringLiteral("Unreadable store file %1 was kept as %2").arg(path, target);
        return true;
    }
    qWarning().noquote() << QStringLiteral("Unreadable store file %1 could not be moved aside; it will not be "
                                           "overwritten while the program runs")
                                .arg(path);
    return false;
}

// Keeps the bytes of a file that was read only in part beside it.
bool keepCopy(const QString &path, const QByteArray &original, QList<SessionStore::Notice> *notices)
{
    const QString target = asideName(path);
    QFile copy(target);
    if (copy.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (copy.write(original) == original.size() && copy.flush()) {
            notices->append({SessionStore::Notice::SetAside, target});
            qWarning().noquote() << QStringLiteral("Store file %1 held values that could not be read; the original "
                                                   "was kept as %2")
                                        .arg(path, target);
            return true;
        }
        copy.remove(); // ours, and incomplete
    }
    qWarning().noquote() << QStringLiteral("Not saving %1: its original could not be kept as %2 (%3)")
                                .arg(path, target, copy.errorString());
    return false;
}

} // namespace

SessionStore::Folders SessionStore::defaultFolders()
{
    Folders f;
    f.data = dataDir();
    f.appDir = applicationDir();
    // The place the default data folder resolves to when nothing overrides it.
    f.appData = QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                + QStringLiteral("/Halvorstead"));
    f.customData = isCustomDataDir();
    return f;
}

SessionStore &SessionStore::instance()
{
    // Never destroyed: nothing is written at exit.
    static SessionStore *store = new SessionStore(defaultFolders());
    return *store;
}

SessionStore::SessionStore(const Folders &folders)
    : m_folders(folders)
{
    migrateFromAppDir(kSessionsFile);
    migrateFromAppData(kSessionsFile);
    loadSessions();
    migrateFromAppDir(kButtonsFile);
    migrateFromAppData(kButtonsFile);
    loadButtons();
}

QString SessionStore::filePath(const QString &fileName) const
{
    return m_folders.data + QLatin1Char('/') + fileName;
}

void SessionStore::migrateFromAppDir(const QString &fileName) const
{
    const QString target = filePath(fileName);
    const QString source = QDir(m_folders.appDir).filePath(fileName);
    if (m_folders.appDir.isEmpty() || QFileInfo::exists(target) || !QFileInfo::exists(source))
        return;
    QDir().mkpath(m_folders.data);
    QFile::copy(source, target);
}

void SessionStore::migrateFromAppData(const QString &fileName) const
{
    if (!m_folders.customData || m_folders.appData.isEmpty())
        return;
    const QString target = filePath(fileName);
    const QString source = QDir(m_folders.appData).filePath(fileName);
    if (QFileInfo::exists(target) || !QFileInfo::exists(source))
        return;
    QDir().mkpath(m_folders.data);
    QFile::copy(source, target);
}

QList<SessionStore::Notice> SessionStore::takeNotices()
{
    return std::exchange(m_notices, {});
}

QByteArray SessionStore::readDocument(const QString &fileName, bool *blocked, QJsonDocument *document)
{
    const QString path = filePath(fileName);
    if (!QFileInfo::exists(path))
        return QByteArray();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        file.close();
        QJsonDocument parsed = QJsonDocument::fromJson(bytes);
        if (parsed.isObject()) {
            if (document)
                *document = std::move(parsed);
            return bytes;
        }
    }
    *blocked = !keepAside(path, &m_notices);
    if (m_noticeListener)
        m_noticeListener();
    return QByteArray();
}

bool SessionStore::writeDocument(const QString &fileName, const QByteArray &bytes, bool blocked,
                                 QByteArray *original, const char *openFailed, const char *writeFailed,
                                 const char *commitFailed)
{
    const QString path = filePath(fileName);
    // Said once to the user too: otherwise the change looks saved until the
    // next start.
    const auto fail = [this, &path] {
        m_notices.append({Notice::SaveFailed, path});
        if (m_noticeListener)
            m_noticeListener();
        return false;
    };
    if (blocked) {
        qWarning().noquote() << QStringLiteral("Not saving %1: the unreadable file there was not moved aside")
                                    .arg(path);
        return fail();
    }
    QDir().mkpath(m_folders.data);
    if (!original->isEmpty()) {
        if (!keepCopy(path, *original, &m_notices))
            return fail();
        original->clear();
        if (m_noticeListener)
            m_noticeListener();
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << openFailed << file.errorString();
        return fail();
    }
    if (file.write(bytes) != bytes.size()) {
        qWarning() << writeFailed << file.errorString();
        file.cancelWriting();
        return fail();
    }
    if (!file.commit()) {
        qWarning() << commitFailed << file.errorString();
        return fail();
    }
    return true;
}

void SessionStore::parseSessions(const QByteArray &bytes, QList<SessionGroup> *groups,
                                 QList<SessionInfo> *ungrouped, bool *lossy)
{
    parseSessions(QJsonDocument::fromJson(bytes), groups, ungrouped, lossy);
}

void SessionStore::parseSessions(const QJsonDocument &document, QList<SessionGroup> *groups,
                                 QList<SessionInfo> *ungrouped, bool *lossy)
{
    StoredReader r;
    r.lossy = !document.isObject();
    const QJsonObject root = document.object();
    r.onlyKeys(root, {"groups", "sessions"});
    for (const QJsonValue &g : r.array(root, "groups")) {
        const QJsonObject object = r.object(g);
        r.onlyKeys(object, {"name", "icon", "sessions"});
        SessionGroup group;
        group.name = r.text(object, "name");
        group.icon = r.text(object, "icon", defaultGroupIcon());
        const QJsonArray sessions = r.array(object, "sessions");
        group.sessions.reserve(sessions.size());
        for (const QJsonValue &s : sessions)
            group.sessions.append(SessionInfo::fromJson(r.object(s), group.name, &r));
        groups->append(group);
    }
    for (const QJsonValue &s : r.array(root, "sessions"))
        ungrouped->append(SessionInfo::fromJson(r.object(s), QString(), &r));
    *lossy = r.lossy;
}

QByteArray SessionStore::sessionsDocument(const QList<SessionGroup> &groups, const QList<SessionInfo> &ungrouped)
{
    QJsonArray groupArray;
    for (const SessionGroup &g : groups) {
        QJsonArray sessions;
        for (const SessionInfo &s : g.sessions)
            sessions.append(s.toJson());
        groupArray.append(QJsonObject{
            {QStringLiteral("name"), g.name},
            {QStringLiteral("icon"), g.icon},
            {QStringLiteral("sessions"), sessions},
        });
    }
    QJsonArray sessionArray;
    for (const SessionInfo &s : ungrouped)
        sessionArray.append(s.toJson());
    const QJsonObject root{{QStringLiteral("groups"), groupArray}, {QStringLiteral("sessions"), sessionArray}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

void SessionStore::parseButtons(const QByteArray &bytes, QList<ButtonGroup> *groups, bool *lossy)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    StoredReader r;
    r.lossy = !document.isObject();
    const QJsonObject root = document.object();
    r.onlyKeys(root, {"buttonGroups"});
    for (const QJsonValue &g : r.array(root, "buttonGroups")) {
        const QJsonObject object = r.object(g);
        r.onlyKeys(object, {"label", "buttons"});
        ButtonGroup group;
        group.label = r.text(object, "label");
        for (const QJsonValue &b : r.array(object, "buttons"))
            group.buttons.append(ButtonCommand::fromJson(r.object(b), &r));
        groups->append(group);
    }
    *lossy = r.lossy;
}

QByteArray SessionStore::buttonsDocument(const QList<ButtonGroup> &groups)
{
    QJsonArray groupArray;
    for (const ButtonGroup &g : groups) {
        QJsonArray buttons;
        for (const ButtonCommand &b : g.buttons)
            buttons.append(b.toJson());
        groupArray.append(QJsonObject{{QStringLiteral("label"), g.label}, {QStringLiteral("buttons"), buttons}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("buttonGroups"), groupArray}}).toJson(QJsonDocument::Indented);
}

void SessionStore::loadSessions()
{
    QJsonDocument document;
    const QByteArray bytes = readDocument(kSessionsFile, &m_sessionsBlocked, &document);
    QList<SessionGroup> groups;
    QList<SessionInfo> ungrouped;
    bool lossy = false;
    parseSessions(document, &groups, &ungrouped, &lossy);
    // What could not be read would be gone after the next save: the file as
    // it was is kept beside it first.
    m_sessionsOriginal = lossy && !bytes.isEmpty() ? bytes : QByteArray();
    if (groups.isEmpty() && ungrouped.isEmpty())
        return;
    m_groups = groups;
    m_ungrouped = ungrouped;
    if (giveFreshIds(&lossy)) {
        if (lossy)
            m_sessionsOriginal = bytes;
        saveSessions();
    }
}

// A session without an id, or with an id an earlier one already has, could
// never be changed or removed: it gets an id of its own. The first holder of
// a repeated id keeps it, and with it its per-session settings.
bool SessionStore::giveFreshIds(bool *replacedId)
{
    QSet<QString> seen;
    bool changed = false;
    auto check = [&](SessionInfo &s) {
        if (s.id.isEmpty() || seen.contains(s.id)) {
            *replacedId = *replacedId || !s.id.isEmpty();
            const QString old = s.id;
            s.id = newSessionId();
            changed = true;
            qWarning().noquote() << QStringLiteral("Session \"%1\" had %2; it was given the id %3")
                                        .arg(s.name, old.isEmpty() ? QStringLiteral("no id")
                                                                   : QStringLiteral("the repeated id ") + old,
                                             s.id);
        }
        seen.insert(s.id);
    };
    for (SessionGroup &g : m_groups) {
        for (SessionInfo &s : g.sessions)
            check(s);
    }
    for (SessionInfo &s : m_ungrouped)
        check(s);
    return changed;
}

void SessionStore::saveSessions()
{
    writeDocument(kSessionsFile, sessionsDocument(m_groups, m_ungrouped), m_sessionsBlocked, &m_sessionsOriginal,
                  "Failed to open session store:", "Failed to save sessions:", "Failed to save sessions:");
}

void SessionStore::loadButtons()
{
    const QByteArray bytes = readDocument(kButtonsFile, &m_buttonsBlocked);
    QList<ButtonGroup> groups;
    bool lossy = false;
    parseButtons(bytes, &groups, &lossy);
    m_buttonsOriginal = lossy && !bytes.isEmpty() ? bytes : QByteArray();
    if (!groups.isEmpty())
        m_buttonGroups = groups;
}

void SessionStore::saveButtons()
{
    writeDocument(kButtonsFile, buttonsDocument(m_buttonGroups), m_buttonsBlocked, &m_buttonsOriginal,
                  "Failed to open button store:", "Failed to write buttons:", "Failed to save buttons:");
}

// ---- look-ups ----

std::optional<SessionStore::Location> SessionStore::locate(const QString &id) const
{
    if (id.isEmpty())
        return std::nullopt;
    for (int g = 0; g < m_groups.size(); ++g) {
        const QList<SessionInfo> &list = m_groups[g].sessions;
        for (int i = 0; i < list.size(); ++i) {
            if (list[i].id == id)
                return Location{g, i};
        }
    }
    for (int i = 0; i < m_ungrouped.size(); ++i) {
        if (m_ungrouped[i].id == id)
            return Location{-1, i};
    }
    return std::nullopt;
}

SessionInfo &SessionStore::at(const Location &where)
{
    return where.group < 0 ? m_ungrouped[where.index] : m_groups[where.group].sessions[where.index];
}

int SessionStore::groupIndex(const QString &name) const
{
    for (int g = 0; g < m_groups.size(); ++g) {
        if (m_groups[g].name == name)
            return g;
    }
    return -1;
}

int SessionStore::buttonGroupIndex(const QString &label) const
{
    for (int g = 0; g < m_buttonGroups.size(); ++g) {
        if (m_buttonGroups[g].label == label)
            return g;
    }
    return -1;
}

const QList<SessionInfo> *SessionStore::sessionList(const QString &groupName) const
{
    if (groupName.isEmpty())
        return &m_ungrouped;
    const int g = groupIndex(groupName);
    return g < 0 ? nullptr : &m_groups[g].sessions;
}

void SessionStore::appendToGroup(const QString &groupName, const SessionInfo &record)
{
    if (groupName.isEmpty()) {
        m_ungrouped.append(record);
        return;
    }
    int g = groupIndex(groupName);
    if (g < 0) {
        m_groups.append(SessionGroup{groupName, defaultGroupIcon(), {}});
        g = int(m_groups.size()) - 1;
    }
    m_groups[g].sessions.append(record);
}

std::optional<SessionInfo> SessionStore::findSession(const QString &id) const
{
    const auto where = locate(id);
    if (!where)
        return std::nullopt;
    return where->group < 0 ? m_ungrouped[where->index] : m_groups[where->group].sessions[where->index];
}

// ---- sessions ----

QString SessionStore::addSession(const QString &name, const QString &type, const QString &groupName,
                                 const QString &host, const QString &port, const SerialParams &serial)
{
    if (name.isEmpty())
        return QString();
    const QList<SessionInfo> *target = sessionList(groupName);
    if (target && holdsSession(*target, name, type, QString()))
        return QString();
    const SessionInfo record = makeSessionInfo(name, type, host, port, serial, groupName);
    appendToGroup(groupName, record);
    saveSessions();
    return record.id;
}

bool SessionStore::updateSession(const SessionInfo &record)
{
    const auto where = locate(record.id);
    if (!where)
        return false;
    SessionInfo updated = record;
    const SessionInfo &stored = at(*where);
    updated.type = stored.type;
    updated.icon = stored.icon;
    updated.status = stored.status;
    // The check uses the type the session keeps, not the one asked for, so
    // that no list ever ends up with two sessions of one name and type.
    const QList<SessionInfo> *target = sessionList(record.group);
    if (target && holdsSession(*target, updated.name, updated.type, updated.id))
        return false;

    // Saving options must not reorder the user's list: the session keeps
    // its place unless it changes list, and then goes to the end of the new one.
    QList<SessionInfo> &home = where->group < 0 ? m_ungrouped : m_groups[where->group].sessions;
    const QString homeGroup = where->group < 0 ? QString() : m_groups[where->group].name;
    if (updated.group == homeGroup) {
        home[where->index] = updated;
    } else {
        home.removeAt(where->index);
        appendToGroup(updated.group, updated);
    }
    saveSessions();
    return true;
}

void SessionStore::renameSession(const QString &id, const QString &newName)
{
    const QString name = newName.trimmed();
    const auto where = locate(id);
    if (name.isEmpty() || !where)
        return;
    SessionInfo &s = at(*where);
    if (holdsSession(m_ungrouped, name, s.type, id))
        return;
    if (where->group >= 0 && holdsSession(m_groups[where->group].sessions, name, s.type, id))
        return;
    s.name = name;
    saveSessions();
}

bool SessionStore::removeSession(const QString &id)
{
    const auto where = locate(id);
    if (!where)
        return false;
    if (where->group < 0)
        m_ungrouped.removeAt(where->index);
    else
        m_groups[where->group].sessions.removeAt(where->index);
    if (m_currentSessionId == id)
        m_currentSessionId.clear();
    saveSessions();
    return true;
}

void SessionStore::setSessionStatus(const QString &id, const QString &status)
{
    const auto where = locate(id);
    if (!where)
        return;
    at(*where).status = status;
    saveSessions();
}

// ---- groups ----

void SessionStore::addGroup(const QString &name)
{
    if (name.isEmpty() || groupIndex(name) >= 0)
        return;
    m_groups.append(SessionGroup{name, defaultGroupIcon(), {}});
    saveSessions();
}

void SessionStore::renameGroup(const QString &oldName, const QString &newName)
{
    const QString name = newName.trimmed();
    if (oldName.isEmpty() || name.isEmpty() || groupIndex(name) >= 0)
        return;
    const int g = groupIndex(oldName);
    if (g >= 0) {
        m_groups[g].name = name;
        for (SessionInfo &s : m_groups[g].sessions)
            s.group = name;
    }
    saveSessions();
}

void SessionStore::removeGroup(const QString &name)
{
    if (name.isEmpty())
        return;
    const int g = groupIndex(name);
    if (g >= 0) {
        // The sessions move to the top level; one whose name and type are
        // taken there gets a number, so no list holds the same session twice.
        const QList<SessionInfo> moving = m_groups.takeAt(g).sessions;
        for (SessionInfo s : moving) {
            QStringList taken;
            for (const SessionInfo &t : std::as_const(m_ungrouped)) {
                if (t.type == s.type)
                    taken << t.name;
            }
            if (taken.contains(s.name))
                s.name = numberedName(s.name, taken);
            s.group.clear();
            m_ungrouped.append(s);
        }
    }
    saveSessions();
}

QString SessionStore::numberedName(const QString &name, const QStringList &taken)
{
    static const QRegularExpression numbered(QStringLiteral("^(.*?)\\s+(\\d+)$"));
    QString base = name;
    qint64 counter = 1;
    if (const QRegularExpressionMatch m = numbered.match(name); m.hasMatch()) {
        base = m.captured(1);
        counter = m.captured(2).toLongLong() + 1;
    }
    QString candidate = QStringLiteral("%1 %2").arg(base, QString::number(counter));
    for (int tries = 1; tries < 10000 && taken.contains(candidate); ++tries)
        candidate = QStringLiteral("%1 %2").arg(base, QString::number(++counter));
    return candidate;
}

// ---- buttons ----

void SessionStore::addButtonGroup(const QString &label)
{
    if (label.isEmpty() || buttonGroupIndex(label) >= 0)
        return;
    m_buttonGroups.append(ButtonGroup{label, {}});
    saveButtons();
}

void SessionStore::addButton(const QString &groupLabel, const ButtonCommand &button)
{
    if (groupLabel.isEmpty() || button.text.isEmpty())
        return;
    const int g = buttonGroupIndex(groupLabel);
    if (g < 0)
        m_buttonGroups.append(ButtonGroup{groupLabel, {button}});
    else
        m_buttonGroups[g].buttons.append(button);
    saveButtons();
}

void SessionStore::removeButton(const QString &groupLabel, const QString &text)
{
    const int g = buttonGroupIndex(groupLabel);
    if (g >= 0) {
        QList<ButtonCommand> &buttons = m_buttonGroups[g].buttons;
        for (int i = 0; i < buttons.size(); ++i) {
            if (buttons[i].text == text) {
                buttons.removeAt(i);
                break;
            }
        }
    }
    saveButtons();
}

void SessionStore::updateButton(const QString &oldGroupLabel, const QString &oldText, const QString &newGroupLabel,
                                const ButtonCommand &button)
{
    removeButton(oldGroupLabel, oldText);
    if (!button.text.isEmpty())
        addButton(newGroupLabel, button);
}
