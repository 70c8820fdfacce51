#include "mainwindow/sessionhub.h"

#include "commands/commandwindow.h"
#include "connections/connection.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/sessioncommands.h"
#include "mainwindow/sessiontree.h"
#include "mainwindow/statusbar.h"
#include "terminal/terminalengine.h"
#include "terminal/widgets/terminalarea.h"
#include "terminal/widgets/terminalview.h"
#include "transfer/inbandtransfer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QMessageBox>
#include <QTimer>
#include <QSettings>

namespace {
bool isQuick(const QString &id)
{
    return id.startsWith(QLatin1String("fast:"));
}
} // namespace

SessionHub::SessionHub(QWidget *window, TerminalArea *area, SessionTree *tree, StatusBar *status,
                       CommandWindow *commands)
    : QObject(window), m_window(window), m_area(area), m_tree(tree), m_status(status), m_commands(commands)
{
    // Quick sessions are numbered afresh every run: what an older version
    // kept under their numbers would be offered to an unrelated host.
    QSettings *settings = AppSettings::instance().settings();
    settings->beginGroup(QStringLiteral("session"));
    const QStringList groups = settings->childGroups();
    for (const QString &group : groups) {
        if (isQuick(group))
            settings->remove(group);
    }
    settings->endGroup();
    SessionStore::instance().setNoticeListener([this] { tellSoon([this] { tellStoreNotices(); }); });
    AppSettings::instance().setWriteFailureListener([this](const QString &file) {
        tellSoon([this, file] { tell({SessionStore::Notice::SaveFailed, file}); });
    });
    QTimer::singleShot(0, this, &SessionHub::tellStoreNotices);
}

SessionHub::~SessionHub()
{
    SessionStore::instance().setNoticeListener(nullptr);
    AppSettings::instance().setWriteFailureListener(nullptr);
    qDeleteAll(std::exchange(m_sessions, {}));
}

OpenSession *SessionHub::ensure(const TabSessionInfo &tab)
{
    OpenSession *&session = m_sessions[tab.id];
    if (!session)
        session = new OpenSession(tab, this, this);
    return session;
}

Connection *SessionHub::connection(const QString &id) const
{
    const OpenSession *s = session(id);
    return s ? s->connection() : nullptr;
}

SessionLogger *SessionHub::logger(const QString &id) const
{
    const OpenSession *s = session(id);
    return s ? s->logger() : nullptr;
}

InbandTransfer *SessionHub::runningTransfer() const
{
    for (const OpenSession *s : m_sessions) {
        if (InbandTransfer *transfer = s->transfer())
            return transfer;
    }
    return nullptr;
}

QString SessionHub::sessionDisplayName(const QString &id) const
{
    if (const std::optional<SessionInfo> info = SessionStore::instance().findSession(id))
        return info->name;
    if (const OpenSession *s = session(id))
        return s->tab().name;
    const TerminalView *view = m_area ? m_area->view(id) : nullptr;
    return view ? view->title : QString();
}

void SessionHub::showData(const QString &id, const QByteArray &bytes)
{
    if (m_area)
        m_area->appendData(id, bytes);
}

void SessionHub::showLine(const QString &id, const QString &html)
{
    TerminalView *view = m_area ? m_area->view(id) : nullptr;
    if (!view)
        return;
    TerminalEngine *engine = view->engine();
    QStringList &held = m_heldLines[id];
    if (held.isEmpty() && engine->pendingBytes() == 0) {
        m_heldLines.remove(id);
        view->appendHtml(html);
        return;
    }
    held << html;
    if (held.size() > 1)
        return;
    auto *link = new QMetaObject::Connection;
    *link = connect(engine, &TerminalEngine::pendingChanged, this, [this, id, link, view](qsizetype pending) {
        if (pending > 0)
            return;
        disconnect(*link);
        delete link;
        for (const QString &line : m_heldLines.take(id))
            view->appendHtml(line);
    });
}

void SessionHub::beginConnection(const QString &id)
{
    if (TerminalView *view = m_area ? m_area->view(id) : nullptr)
        view->engine()->beginConnection();
}

void SessionHub::showState(const QString &id, const QString &state)
{
    if (m_area)
        m_area->setTabStatus(id, state);
    SessionStore &store = SessionStore::instance();
    store.setSessionStatus(id, state);
    if (isQuick(id))
        m_quickStates[id] = state;
    if (m_tree)
        m_tree->refresh();
    if (m_status && store.currentSessionId() == id)
        m_status->setConnectionState(state);
}

void SessionHub::typed(const QString &id, const QByteArray &bytes)
{
    if (OpenSession *s = session(id))
        s->type(bytes);
}

void SessionHub::replied(const QString &id, const QByteArray &bytes)
{
    if (OpenSession *s = session(id))
        s->reply(bytes);
}

void SessionHub::closeTab(const QString &id)
{
    if (OpenSession *s = m_sessions.take(id)) {
        const bool hadConnection = s->connection();
        s->close();
        delete s;
        if (hadConnection && !isQuick(id))
            showState(id, QStringLiteral("disconnected"));
    }
    if (m_commands)
        m_commands->clearHistory(id);
    m_heldLines.remove(id);
    m_quickStates.remove(id);
    if (m_area)
        m_area->closeTab(id);
}

void SessionHub::disconnectSession(const QString &id)
{
    if (OpenSession *s = session(id))
        s->close();
    showState(id, QStringLiteral("disconnected"));
}

void SessionHub::closeAll()
{
    // One budget for all: stopped one after another, each unresponsive peer
    // would add its own wait.
    const QDeadlineTimer deadline(WorkerConnection::kJoinTimeoutMs);
    for (OpenSession *s : std::as_const(m_sessions)) {
        if (s->connection())
            s->connection()->requestStop(deadline);
    }
    for (OpenSession *s : std::as_const(m_sessions))
        s->close();
}

void SessionHub::tellInFront()
{
    m_inFront = true;
    tellStoreNotices();
}

void SessionHub::tellSoon(const std::function<void()> &what)
{
    if (m_inFront)
        what();
    else
        QTimer::singleShot(0, this, what);
}

void SessionHub::tellStoreNotices()
{
    for (const SessionStore::Notice &notice : SessionStore::instance().takeNotices())
        tell(notice);
}

void SessionHub::tell(const SessionStore::Notice &notice)
{
    const bool aside = notice.kind == SessionStore::Notice::SetAside;
    if (!aside && m_toldFailures.contains(notice.path))
        return;
    if (!aside)
        m_toldFailures.insert(notice.path);
    auto *box = new QMessageBox(QMessageBox::Warning, LanguageManager::tr(QStringLiteral("会话文件")),
                                LanguageManager::tr(aside ? QStringLiteral("会话文件无法读取，原文件已另存为：%1")
                                                          : QStringLiteral("无法保存 %1，本次更改在重启后将丢失。"))
                                    .arg(QDir::toNativeSeparators(notice.path)),
                                QMessageBox::Ok, m_window);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (m_inFront)
        box->exec();
    else
        box->open(); // not modal: it must not hold up what the user was doing
}

void SessionHub::tabActivated(const QString &id)
{
    SessionStore::instance().setCurrentSessionId(id);
    if (!m_status)
        return;
    if (SessionStore::instance().findSession(id)) {
        SessionCommands::showInStatusBar(m_status, id);
    } else if (const OpenSession *s = session(id)) {
        // A quick-connect tab: not in the store, its own session all the same.
        m_status->setHost(s->tab().name);
        m_status->setInfoText(s->tab().type);
        m_status->setConnectionState(m_quickStates.value(id));
    }
}
