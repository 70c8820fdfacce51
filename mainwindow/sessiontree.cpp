#include "mainwindow/sessiontree.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"

#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
const char *const buttonStyle = "QPushButton{background:#2d2d30;border:1px solid #3e3e42;border-radius:3px;}"
                                "QPushButton:hover{background:#3e3e42;}";
} // namespace

SessionTree::SessionTree(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    header->setObjectName(QStringLiteral("treeHeader"));
    header->setAttribute(Qt::WA_StyledBackground);
    header->setStyleSheet(QStringLiteral("background-color:#252526;border-bottom:1px solid #3e3e42;"));
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(8, 4, 8, 4);
    headerLabel = new QLabel(header);
    headerLabel->setStyleSheet(QStringLiteral("color:#cccccc;font-weight:600;"));
    headerLayout->addWidget(headerLabel);
    headerLayout->addStretch();
    const struct {
        QPushButton **member;
        const char *name, *text;
        void (SessionTree::*signal)();
    } buttons[] = {
        {&newSessionButton, "treeNewSession", "➕", &SessionTree::newSessionRequested},
        {&newGroupButton, "treeNewGroup", "📁", &SessionTree::newGroupRequested},
        {&hideButton, "treeHide", "◀", nullptr},
    };
    for (const auto &b : buttons) {
        auto *button = new QPushButton(QString::fromUtf8(b.text), header);
        button->setObjectName(QString::fromLatin1(b.name));
        button->setFixedSize(24, 24);
        button->setStyleSheet(QString::fromLatin1(buttonStyle));
        if (b.signal)
            connect(button, &QPushButton::clicked, this, b.signal);
        else
            connect(button, &QPushButton::clicked, this, &QWidget::hide);
        headerLayout->addWidget(button);
        *b.member = button;
    }
    layout->addWidget(header);

    filterEdit = new QLineEdit(this);
    filterEdit->setObjectName(QStringLiteral("treeFilter"));
    filterEdit->setStyleSheet(QStringLiteral("QLineEdit{background:#3c3c3c;border:1px solid #3e3e42;color:#cccccc;"
                                             "padding:4px 8px;border-radius:3px;margin:6px 8px;}"));
    layout->addWidget(filterEdit);

    tree = new QTreeWidget(this);
    tree->setObjectName(QStringLiteral("sessionTreeView"));
    tree->setColumnCount(1);
    tree->setHeaderHidden(true);
    tree->setIndentation(14);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Long names are elided at the pane's edge instead of running under it.
    tree->setTextElideMode(Qt::ElideRight);
    tree->setUniformRowHeights(true);
    layout->addWidget(tree, 1);
    // The pane's keys are the list's: it is where a window without tabs starts.
    setFocusProxy(tree);

    connect(tree, &QTreeWidget::itemActivated, this, &SessionTree::onItemActivated);
    connect(tree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item, int) {
        if (item && item->data(0, ItemKindRole).toInt() == 1)
            emit sessionConnect(item->data(0, SessionIdRole).toString());
    });
    connect(tree, &QTreeWidget::customContextMenuRequested, this, &SessionTree::onCustomContextMenu);
    connect(filterEdit, &QLineEdit::textChanged, this, &SessionTree::onSearchChanged);
    retranslateUi();
    refresh();
}

QString SessionTree::statusColor(const QString &status)
{
    if (status == QLatin1String("connected"))
        return QStringLiteral("#4ec9b0");
    if (status == QLatin1String("connecting"))
        return QStringLiteral("#dcdcaa");
    if (status == QLatin1String("disconnected"))
        return QStringLiteral("#f44747");
    return QStringLiteral("#858585");
}

QIcon SessionTree::statusDotIcon(const QString &color)
{
    // A refresh asks for one icon per session; there are only a few colours.
    static QHash<QString, QIcon> cache;
    const auto hit = cache.constFind(color);
    if (hit != cache.constEnd())
        return *hit;
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(color));
    painter.drawEllipse(QRectF(2, 2, 8, 8));
    painter.end();
    return *cache.insert(color, QIcon(pixmap));
}

QIcon SessionTree::folderIcon(const QString &color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QPainterPath path;
    path.moveTo(1.5, 4);
    path.lineTo(5.5, 4);
    path.lineTo(7.5, 6);
    path.lineTo(14.5, 6);
    path.lineTo(14.5, 13);
    path.lineTo(1.5, 13);
    path.closeSubpath();
    painter.fillPath(path, QColor(color));
    painter.fillRect(QRectF(1, 10, 13, 2), QColor(color).darker(115));
    painter.end();
    return QIcon(pixmap);
}

void SessionTree::refresh()
{
    tree->clear();
    const SessionStore &store = SessionStore::instance();
    // Items are built detached and added in one call: at thousands of
    // sessions, adding them one by one to a shown tree is what costs.
    QList<QTreeWidgetItem *> top;
    const QList<SessionGroup> groups = store.groups();
    const QIcon folder = folderIcon(QStringLiteral("#dcb67a"));
    for (const SessionGroup &group : groups) {
        auto *item = new QTreeWidgetItem(QStringList(group.name));
        item->setData(0, ItemKindRole, 0);
        item->setData(0, SessionIdRole, group.name);
        item->setForeground(0, QColor(QStringLiteral("#ffffff")));
        item->setIcon(0, folder);
        item->setToolTip(0, group.name);
        for (const SessionInfo &session : group.sessions)
            makeSessionItem(item, session);
        top.append(item);
    }
    const QList<SessionInfo> ungrouped = store.ungrouped();
    for (const SessionInfo &session : ungrouped)
        top.append(makeSessionItem(nullptr, session));
    tree->addTopLevelItems(top);
    for (QTreeWidgetItem *item : std::as_const(top)) {
        if (item->data(0, ItemKindRole).toInt() != 1)
            item->setExpanded(true);
    }
    if (!filterEdit->text().isEmpty())
        filter(filterEdit->text());
}

QTreeWidgetItem *SessionTree::makeSessionItem(QTreeWidgetItem *parent, const SessionInfo &session)
{
    auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem;
    item->setData(0, SessionIdRole, session.id);
    item->setData(0, ItemKindRole, 1);
    item->setData(0, SessionStatusRole, session.status);
    item->setIcon(0, statusDotIcon(statusColor(session.status)));
    const QString text = session.name + QStringLiteral("  [") + session.type + QLatin1Char(']');
    item->setText(0, text);
    item->setToolTip(0, text);
    // Parsed once: thousands of rows are built before the first frame.
    static const QBrush textBrush(QColor(0xcc, 0xcc, 0xcc));
    item->setForeground(0, textBrush);
    return item;
}

void SessionTree::filter(const QString &text)
{
    const QString needle = text.trimmed().toLower();
    auto matches = [&needle](const QString &itemText) { return needle.isEmpty() || itemText.toLower().contains(needle); };
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = tree->topLevelItem(i);
        if (top->data(0, ItemKindRole).toInt() == 1) {
            top->setHidden(!matches(top->text(0)));
            continue;
        }
        bool anyVisible = false;
        for (int c = 0; c < top->childCount(); ++c) {
            const bool visible = matches(top->child(c)->text(0));
            top->child(c)->setHidden(!visible);
            anyVisible = anyVisible || visible;
        }
        top->setHidden(!needle.isEmpty() && !anyVisible && !top->text(0).toLower().contains(needle));
        if (!needle.isEmpty() && anyVisible)
            top->setExpanded(true);
    }
}

void SessionTree::retranslateUi()
{
    headerLabel->setText(QStringLiteral("📂 ") + LanguageManager::tr("会话"));
    filterEdit->setPlaceholderText(QStringLiteral("🔍 ") + LanguageManager::tr("搜索会话..."));
    newSessionButton->setToolTip(LanguageManager::tr("新建会话"));
    newGroupButton->setToolTip(LanguageManager::tr("新建分组"));
    hideButton->setToolTip(LanguageManager::tr("隐藏会话树 (F9)"));
}

void SessionTree::onSearchChanged(const QString &text)
{
    filter(text);
}

void SessionTree::onItemActivated(QTreeWidgetItem *item, int)
{
    if (!item)
        return;
    if (item->data(0, ItemKindRole).toInt() == 1)
        emit sessionActivated(item->data(0, SessionIdRole).toString());
    else
        item->setExpanded(!item->isExpanded());
}

void SessionTree::onCustomContextMenu(const QPoint &pos)
{
    QTreeWidgetItem *item = tree->itemAt(pos);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("sessionTreeMenu"));
    if (item) {
        buildItemMenu(&menu, item);
    } else {
        connect(menu.addAction(QStringLiteral("➕ ") + LanguageManager::tr("新建会话")), &QAction::triggered, this,
                &SessionTree::newSessionRequested);
        connect(menu.addAction(QStringLiteral("📁 ") + LanguageManager::tr("新建分组")), &QAction::triggered, this,
                &SessionTree::newGroupRequested);
    }
    menu.exec(tree->viewport()->mapToGlobal(pos));
}

void SessionTree::buildItemMenu(QMenu *menu, QTreeWidgetItem *item)
{
    const QString key = item->data(0, SessionIdRole).toString();
    auto add = [this, menu, &key](const char *glyph, const char *label, void (SessionTree::*signal)(const QString &)) {
        QAction *action = menu->addAction(QString::fromUtf8(glyph) + QLatin1Char(' ') + LanguageManager::tr(label));
        connect(action, &QAction::triggered, this, [this, signal, key] { emit(this->*signal)(key); });
    };
    if (item->data(0, ItemKindRole).toInt() == 1) {
        if (item->data(0, SessionStatusRole).toString() != QLatin1String("connected"))
            add("🔗", "连接", &SessionTree::sessionConnect);
        else
            add("🔌", "断开", &SessionTree::sessionDisconnect);
        add("📋", "克隆会话", &SessionTree::sessionCloneRequested);
        add("✏️", "重命名", &SessionTree::sessionRenameRequested);
        menu->addSeparator();
        add("⚙️", "会话选项...", &SessionTree::sessionOptionsRequested);
        menu->addSeparator();
        add("🗑️", "删除", &SessionTree::sessionDelete);
    } else {
        add("➕", "新建会话", &SessionTree::newSessionInGroupRequested);
        add("✏️", "重命名", &SessionTree::groupRenameRequested);
        menu->addSeparator();
        add("🗑️", "删除分组", &SessionTree::groupDelete);
    }
}
