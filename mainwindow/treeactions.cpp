#include "mainwindow/treeactions.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/groupdialogs.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"

#include <QInputDialog>

TreeActions::TreeActions(QWidget *window, SessionTree *tree) : QObject(window), window(window), tree(tree) {}

void TreeActions::newGroup()
{
    NewGroupDialog dialog(window);
    if (dialog.exec() != QDialog::Accepted || dialog.groupName().isEmpty())
        return;
    SessionStore::instance().addGroup(dialog.groupName());
    tree->refresh();
}

void TreeActions::renameGroup(const QString &group)
{
    RenameGroupDialog dialog(group, window);
    if (dialog.exec() != QDialog::Accepted || dialog.groupName().isEmpty() || dialog.groupName() == group)
        return;
    SessionStore::instance().renameGroup(group, dialog.groupName());
    tree->refresh();
}

void TreeActions::deleteGroup(const QString &group)
{
    int count = 0;
    const QList<SessionGroup> groups = SessionStore::instance().groups();
    for (const SessionGroup &g : groups) {
        if (g.name == group)
            count = g.sessions.size();
    }
    DeleteConfirmDialog dialog(window);
    dialog.setTarget(group, true, count);
    if (dialog.exec() != QDialog::Accepted)
        return;
    SessionStore::instance().removeGroup(group);
    tree->refresh();
}

bool TreeActions::deleteSession(const QString &id)
{
    const std::optional<SessionInfo> session = SessionStore::instance().findSession(id);
    if (!session)
        return false;
    DeleteConfirmDialog dialog(window);
    dialog.setTarget(session->name, false, 0);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const bool removed = SessionStore::instance().removeSession(id);
    tree->refresh();
    return removed;
}

void TreeActions::renameSession(const QString &id)
{
    const std::optional<SessionInfo> session = SessionStore::instance().findSession(id);
    if (!session)
        return;
    bool ok = false;
    const QString text = QInputDialog::getText(window, LanguageManager::tr(QStringLiteral("重命名会话")),
                                               LanguageManager::tr(QStringLiteral("新名称：")), QLineEdit::Normal,
                                               session->name, &ok);
    if (!ok || text.isEmpty())
        return;
    SessionStore::instance().renameSession(id, text);
    tree->refresh();
}

void TreeActions::showInStatusBar(StatusBar *bar, const QString &id)
{
    const std::optional<SessionInfo> session = SessionStore::instance().findSession(id);
    bar->setHost(session ? session->name : QString());
    bar->setInfoText(session ? session->type : QString());
    bar->setConnectionState(session ? session->status : QString());
}
