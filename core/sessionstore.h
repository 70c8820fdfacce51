#pragma once

#include "core/sessioninfo.h"

#include <QJsonDocument>
#include <QString>
#include <functional>
#include <optional>

// The user's saved sessions and quick-command buttons. Every change rewrites
// the affected file at once, so nothing is saved at exit. GUI thread only.
//
// Readers get copies: no pointer or reference into the store's lists is ever
// handed out, because any change may move or drop a record.
class SessionStore
{
public:
    // Where the store looks for its files.
    struct Folders {
        QString data;      // where the two files live
        QString appDir;    // the executable's folder: files there are copied in once
        QString appData;   // the per-user data location: copied in once when `data` is custom
        bool customData = false;
    };

    static constexpr const char *sessionsFileName = "halvorstead_sessions.json";
    static constexpr const char *buttonsFileName = "halvorstead_buttons.json";

    // The process-wide store, loaded from the data folder on first use.
    static SessionStore &instance();
    // The folders the process-wide store uses.
    static Folders defaultFolders();

    // A store of its own on the given folders, loaded at once. The program
    // uses instance(); this lets a caller (a test) start from a known folder.
    explicit SessionStore(const Folders &folders);

    QList<SessionGroup> groups() const { return m_groups; }
    QList<SessionInfo> ungrouped() const { return m_ungrouped; }
    QList<ButtonGroup> buttonGroups() const { return m_buttonGroups; }
    QString currentSessionId() const { return m_currentSessionId; }

    // Sessions. The type, icon and status of a stored session are not changed
    // by updateSession.
    QString addSession(const QString &name, const QString &type, const QString &groupName, const QString &host,
                       const QString &port, const SerialParams &serial = SerialParams());
    bool updateSession(const SessionInfo &record);
    void renameSession(const QString &id, const QString &newName);
    bool removeSession(const QString &id);
    void setSessionStatus(const QString &id, const QString &status);
    // A copy of the first session with the id (groups in order, then the
    // ungrouped list), or nothing.
    std::optional<SessionInfo> findSession(const QString &id) const;

    // Session groups.
    void addGroup(const QString &name);
    void renameGroup(const QString &oldName, const QString &newName);
    // The group's sessions move to the top level (see numberedName).
    void removeGroup(const QString &name);
    // The first free "base N": "web" gives "web 1", "web 7" gives "web 8",
    // counting up while `taken` holds the candidate (10000 tries at most).
    static QString numberedName(const QString &name, const QStringList &taken);

    // Quick-command buttons.
    void addButtonGroup(const QString &label);
    void addButton(const QString &groupLabel, const ButtonCommand &button);
    void removeButton(const QString &groupLabel, const QString &text);
    void updateButton(const QString &oldGroupLabel, const QString &oldText, const QString &newGroupLabel,
                      const ButtonCommand &button);

    void setCurrentSessionId(const QString &id) { m_currentSessionId = id; }

    // What the user must hear of the files: a save that failed, an
    // unreadable file kept aside under a new name. Kept until taken; the
    // listener is told of each as it comes.
    struct Notice {
        enum Kind { SaveFailed, SetAside } kind;
        QString path;
    };
    QList<Notice> takeNotices();
    void setNoticeListener(std::function<void()> listener) { m_noticeListener = std::move(listener); }

    // Whole-file reads and writes; the loads keep the store as it is when
    // the file is missing or holds nothing.
    void loadSessions();
    void saveSessions();
    void loadButtons();
    void saveButtons();

    // The records a file's bytes hold, and whether the file holds anything
    // they cannot keep (*lossy): bytes that are no JSON object, a value of
    // another type, a key no record has. The documents are what a save writes.
    static void parseSessions(const QByteArray &bytes, QList<SessionGroup> *groups, QList<SessionInfo> *ungrouped,
                              bool *lossy);
    static void parseSessions(const QJsonDocument &document, QList<SessionGroup> *groups,
                              QList<SessionInfo> *ungrouped, bool *lossy);
    static QByteArray sessionsDocument(const QList<SessionGroup> &groups, const QList<SessionInfo> &ungrouped);
    static void parseButtons(const QByteArray &bytes, QList<ButtonGroup> *groups, bool *lossy);
    static QByteArray buttonsDocument(const QList<ButtonGroup> &groups);

    void migrateFromAppDir(const QString &fileName) const;
    void migrateFromAppData(const QString &fileName) const;

    QString filePath(const QString &fileName) const;

private:
    struct Location {
        int group = -1; // -1: the ungrouped list
        int index = -1;
    };
    std::optional<Location> locate(const QString &id) const;
    SessionInfo &at(const Location &where);
    // The list a group name points to (the ungrouped list for an empty
    // name), or null when no group has the name.
    const QList<SessionInfo> *sessionList(const QString &groupName) const;
    int groupIndex(const QString &name) const;
    int buttonGroupIndex(const QString &label) const;
    // *replacedId: an id the file held was replaced (not just missing).
    bool giveFreshIds(bool *replacedId);
    void appendToGroup(const QString &groupName, const SessionInfo &record);

    // A file that exists but cannot be read as a document is moved aside
    // before anything can overwrite it. When that move fails, saving that
    // file is refused for the life of the store. A file read only in part
    // (*original not empty) is copied aside before the first save over it;
    // while that copy fails, saving is refused.
    // The document read is kept in *document when one is asked for: thousands
    // of sessions are not parsed twice on the way to the first window.
    QByteArray readDocument(const QString &fileName, bool *blocked, QJsonDocument *document = nullptr);
    bool writeDocument(const QString &fileName, const QByteArray &bytes, bool blocked, QByteArray *original,
                       const char *openFailed, const char *writeFailed, const char *commitFailed);

    Folders m_folders;
    QList<SessionGroup> m_groups;
    QList<SessionInfo> m_ungrouped;
    QList<ButtonGroup> m_buttonGroups;
    QString m_currentSessionId;
    bool m_sessionsBlocked = false;
    bool m_buttonsBlocked = false;
    QByteArray m_sessionsOriginal; // a file read in part, to be kept before it is overwritten
    QByteArray m_buttonsOriginal;
    QList<Notice> m_notices;
    std::function<void()> m_noticeListener;
};
