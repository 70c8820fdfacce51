#include "mainwindow/contextmenus.h"

#include "core/languagemanager.h"
#include "core/sessionlogger.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "terminal/widgets/terminalarea.h"

#include <QMenu>
#include <QTimer>

namespace {
bool isQuick(const QString &id)
{
    return id.startsWith(QLatin1String("fast:"));
}

bool isStored(const QString &id)
{
    return SessionStore::instance().findSession(id).has_value();
}
} // namespace

ContextMenus::ContextMenus(SessionHub *hub, SessionMenuHandlers handlers)
    : QObject(hub), hub(hub), handlers(std::move(handlers))
{
}

void ContextMenus::addEntry(QMenu *menu, const char *text, const std::function<void(const QString &)> &handler,
                            const QString &id) const
{
    QAction *action = menu->addAction(LanguageManager::tr(text));
    QObject::connect(action, &QAction::triggered, menu, [handler, id] {
        if (handler)
            handler(id);
    });
}

void ContextMenus::addConnectEntry(QMenu *menu, const QString &id, bool quick) const
{
    // A connection that is still connecting counts: it can be cut.
    if (hub->connection(id))
        addEntry(menu, "断开", handlers.disconnect, id);
    else if (!quick)
        addEntry(menu, "连接", handlers.connect, id);
}

bool ContextMenus::fillTabMenu(QMenu *menu, const QString &id)
{
    const bool quick = isQuick(id);
    if (!quick && !isStored(id))
        return false;
    addConnectEntry(menu, id, quick);
    if (!quick) {
        menu->addSeparator();
        addEntry(menu, "会话选项...", handlers.options, id);
        menu->addSeparator();
    }
    addEntry(menu, "关闭", handlers.closeTab, id);
    return true;
}

void ContextMenus::tabContextMenu(const QString &id, const QPoint &globalPos)
{
    QMenu menu(hub->window());
    menu.setStyleSheet(QStringLiteral(
        "QMenu{background:#2d2d30;color:#cccccc;border:1px solid #3e3e42;padding:4px;}"
        "QMenu::item{padding:5px 24px;border-radius:3px;}QMenu::item:selected{background:#094771;color:#ffffff;}"));
    if (fillTabMenu(&menu, id))
        menu.exec(globalPos);
}

void ContextMenus::fillViewMenu(QMenu *menu, const QString &id)
{
    if (!hub->sessionDisplayName(id).isEmpty()) {
        menu->addSeparator();
        const SessionLogger *logger = hub->logger(id);
        const bool recording = logger && logger->isRecording();
        addEntry(menu, recording ? "停止日志" : "启动日志", handlers.toggleLog, id);
    }
    const bool quick = isQuick(id);
    if (!quick && !isStored(id))
        return;
    menu->addSeparator();
    TerminalArea *area = hub->terminalArea();
    addEntry(menu, "清除屏幕", [area](const QString &sessionId) { area->clearTerminal(sessionId); }, id);
    menu->addSeparator();
    addConnectEntry(menu, id, quick);
    if (!quick) {
        addEntry(menu, "会话选项...", handlers.options, id);
        menu->addSeparator();
    }
    // The view owns the running menu: it may go only after the menu returns.
    const auto closeTab = handlers.closeTab;
    addEntry(menu, "关闭",
             [this, closeTab](const QString &sessionId) {
                 QTimer::singleShot(0, this, [closeTab, sessionId] {
                     if (closeTab)
                         closeTab(sessionId);
                 });
             },
             id);
}

void ContextMenus::viewContextMenu(const QString &id, QMenu *menu, const QPoint &globalPos)
{
    if (!menu)
        return;
    fillViewMenu(menu, id);
    menu->exec(globalPos);
}
