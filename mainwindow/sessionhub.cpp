#include "mainwindow/sessionhub.h"

#include "core/sessionstore.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/inbandtransfer.h"

SessionHub::SessionHub(QWidget *window, TerminalArea *area, SessionTree *tree, StatusBar *status)
    : QObject(window), m_window(window), m_area(area), m_tree(tree), m_status(status)
{
}

SessionHub::~SessionHub() = default;

bool SessionHub::transferRunsOn(const QString &id) const
{
    return transfer && transfer->isActive() && transferSessionId == id;
}

QString SessionHub::sessionDisplayName(const QString &id) const
{
    if (id.startsWith(QLatin1String("fast:")))
        return tabSessions.value(id).name;
    if (const std::optional<SessionInfo> info = SessionStore::instance().findSession(id))
        return info->name;
    const QList<TerminalView *> views = m_area->findChildren<TerminalView *>();
    for (const TerminalView *view : views) {
        if (view->id() == id)
            return view->title;
    }
    return QString();
}

void SessionHub::appendLine(const QString &id, const QString &html) const
{
    m_area->appendHtml(id, html);
}

void SessionHub::publishState(const QString &id, const QString &state) const
{
    m_area->setTabStatus(id, state);
    SessionStore::instance().setSessionStatus(id, state);
    m_tree->refresh();
    m_status->setConnectionState(state);
}
