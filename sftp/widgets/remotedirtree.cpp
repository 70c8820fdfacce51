#include "sftp/widgets/remotedirtree.h"

#include "core/debuglog.h"
#include "core/languagemanager.h"
#include "sftp/widgets/sftpprompts.h"
#include "ui/statuscolors.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMutex>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWaitCondition>

#include <algorithm>

namespace {


QString bit(bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); }

// A source text in the language of the moment.
QString said(const char *source) { return LanguageManager::tr(QString::fromUtf8(source)); }

void trace(const QString &line)
{
    if (debugLogEnabled())
        debugLog(line);
}

QColor colorForEntry(const QVariantMap &entry)
{
    auto flag = [&](const char *key) { return entry.value(QLatin1String(key)).toBool(); };
    if (flag("link"))
        return QColor(0x34, 0xe2, 0xe2);
    if (flag("sock"))
        return QColor(0xad, 0x7f, 0xa8);
    if (flag("fifo") || flag("dev"))
        return QColor(0xed, 0xd4, 0x00);
    if (flag("dir"))
        return QColor(0x72, 0x9f, 0xcf);
    if (flag("exec"))
        return QColor(0x8a, 0xe2, 0x34);
    return QColor();
}

} // namespace

struct RemoteDirTree::Question {
    QMutex mutex;
    QWaitCondition answered;
    std::optional<bool> answer; // guarded by mutex
    bool cancelled = false;     // guarded by mutex; set when the worker is let go
};

RemoteDirTree::RemoteDirTree(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("RemoteDirTree"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("RemoteDirTree{background-color:#252526;}"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    header->setStyleSheet(QStringLiteral("background-color:#252526;border-bottom:1px solid #3e3e42;"));
    auto *headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(6, 4, 6, 4);
    headerRow->setSpacing(4);
    headerLabel = new QLabel(QStringLiteral("/"), header);
    headerLabel->setStyleSheet(QStringLiteral("color:#858585;border:none;background:transparent;"));
    // A long path or message is cut or wrapped, never a reason for the
    // window to grow; the whole text is in the tool tip.
    headerLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    headerRow->addWidget(headerLabel, 1);
    refreshButton = new QPushButton(QStringLiteral("⟳"), header);
    // The arrow character comes out a few pixels tall in the fonts at hand,
    // where it reads as a stray letter; the style's reload icon reads at once.
    const QIcon reload = style()->standardIcon(QStyle::SP_BrowserReload);
    if (!reload.isNull()) {
        refreshButton->setText(QString());
        refreshButton->setIcon(reload);
    }
    refreshButton->setToolTip(said("刷新目录树"));
    refreshButton->setFixedWidth(28);
    refreshButton->setStyleSheet(QStringLiteral(
        "QPushButton{background-color:#2d2d30;border:1px solid #3e3e42;color:#cccccc;border-radius:3px;}"
        "QPushButton:hover{background-color:#3e3e42;}"));
    headerRow->addWidget(refreshButton);
    layout->addWidget(header);

    tree = new QTreeWidget(this);
    tree->setColumnCount(1);
    tree->setHeaderLabel(LanguageManager::tr(QStringLiteral("名称")));
    tree->setHeaderHidden(true);
    tree->setRootIsDecorated(true);
    tree->setUniformRowHeights(true);
    tree->setSelectionMode(QAbstractItemView::NoSelection);
    tree->setFocusPolicy(Qt::NoFocus);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    tree->setStyleSheet(
        QStringLiteral("QTreeWidget{background-color:#1e1e1e;border:none;color:#cccccc;}QTreeWidget::item{height:20px;}"
                       "QTreeWidget::item:hover{background-color:#2a2d2e;}"));
    layout->addWidget(tree, 1);

    statusLabel = new QLabel(this);
    statusLabel->setWordWrap(true);
    statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(statusLabel);
    setStatus([] { return said("未连接"); }, StatusColor::neutral);

    connect(tree, &QTreeWidget::itemExpanded, this, &RemoteDirTree::onExpanded);
    connect(tree, &QWidget::customContextMenuRequested, this, &RemoteDirTree::onContextMenu);
    connect(refreshButton, &QPushButton::clicked, this, &RemoteDirTree::refreshRoot);

    progressTimer.setSingleShot(true);
    connect(&progressTimer, &QTimer::timeout, this, &RemoteDirTree::flushProgress);
    connect(LanguageManager::hub(), &Lang::LangSignalHub::languageChanged, this, &RemoteDirTree::retranslate);
}

void RemoteDirTree::retranslate()
{
    refreshButton->setToolTip(said("刷新目录树"));
    if (rootFallback && !rootPath.isEmpty())
        headerLabel->setToolTip(said("无权限访问 /，当前显示主目录：%1").arg(rootPath));
    const QString shown = statusMaker ? statusMaker() : QString();
    statusLabel->setText(shown);
    statusLabel->setToolTip(shown);
}

RemoteDirTree::~RemoteDirTree() { stopWorker(); }

QString RemoteDirTree::statusText() const { return statusLabel->text(); }
QString RemoteDirTree::headerText() const { return headerLabel->text(); }

void RemoteDirTree::setStatus(std::function<QString()> text, const char *color)
{
    // Kept as the way to make the text, so a language switch can make it
    // again in the new language.
    statusMaker = std::move(text);
    const QString shown = statusMaker();
    statusLabel->setText(shown);
    statusLabel->setToolTip(shown);
    if (color)
        statusLabel->setStyleSheet(QStringLiteral("color:%1;background-color:#252526;border-top:1px solid #3e3e42;"
                                                  "padding:3px 6px;")
                                       .arg(QLatin1String(color)));
}

void RemoteDirTree::connectTo(const SshConnectParams &p)
{
    params = p;
    stopWorker();
    // The old worker answers nothing more: its transfers end here. Job ids
    // go on counting, since the transfer list keeps its rows by them.
    QList<int> unfinished = transferIds.values();
    std::sort(unfinished.begin(), unfinished.end());
    for (int id : std::as_const(unfinished))
        emit sigTransferFinished(id, LanguageManager::tr(QStringLiteral("已取消")), false);
    const bool wasBusy = activeJobCount > 0;
    rootFallback = rootCreated = false;
    rootPath.clear();
    chosenPath.clear();
    pathIndex.clear();
    activeJobs.clear();
    transferIds.clear();
    activeJobCount = 0;
    if (wasBusy)
        emit sigTransfersIdle();
    progressTimer.stop();
    progressThrottle.reset();
    tree->clear();
    headerLabel->setText(QStringLiteral("/"));
    headerLabel->setToolTip(QString());
    setStatus([] { return said("连接中..."); }, StatusColor::neutral);

    worker = new DirTreeWorker(params);
    question = std::make_shared<Question>();
    worker->setExistingFolderQuestion([q = question, self = this](const QString &folder) {
        QMutexLocker lock(&q->mutex);
        if (q->cancelled)
            return false;
        q->answer.reset();
        QMetaObject::invokeMethod(
            self,
            [q, self, folder] {
                {
                    QMutexLocker check(&q->mutex);
                    if (q->cancelled)
                        return;
                }
                const bool yes = sftpPrompts().confirm(
                    self, LanguageManager::tr(QStringLiteral("下载")),
                    LanguageManager::tr(QStringLiteral("本地文件夹 %1 已存在，下载的文件将写入其中。继续吗？"))
                        .arg(folder));
                QMutexLocker done(&q->mutex);
                q->answer = yes;
                q->answered.wakeAll();
            },
            Qt::QueuedConnection);
        while (!q->answer && !q->cancelled)
            q->answered.wait(&q->mutex, 100);
        return q->answer.value_or(false);
    });
    connect(worker, &DirTreeWorker::sigReady, this, &RemoteDirTree::onReady);
    connect(worker, &DirTreeWorker::sigListed, this, &RemoteDirTree::onListed);
    connect(worker, &DirTreeWorker::sigFailed, this, &RemoteDirTree::onFailed);
    connect(worker, &ConnectionWorker::sigError, this, &RemoteDirTree::onWorkerError);
    connect(worker, &DirTreeWorker::sigJobStart, this, &RemoteDirTree::onJobStart);
    connect(worker, &DirTreeWorker::sigJobProgress, this, &RemoteDirTree::onJobProgress);
    connect(worker, &DirTreeWorker::sigJobDone, this, &RemoteDirTree::onJobDone);
    connect(worker, &DirTreeWorker::sigJobFailed, this, &RemoteDirTree::onJobFailed);
    connect(worker, &DirTreeWorker::sigSkipped, this,
            [this](int id, const QStringList &paths) { skippedEntries.insert(id, int(paths.size())); });
    worker->start(QThread::InheritPriority);
}

void RemoteDirTree::stopWorker()
{
    if (!worker)
        return;
    DirTreeWorker *old = worker;
    worker = nullptr;
    disconnect(old, nullptr, this, nullptr);
    if (question) {
        QMutexLocker lock(&question->mutex);
        question->cancelled = true;
        question->answered.wakeAll();
    }
    question.reset();
    SftpSession::release(old);
}

void RemoteDirTree::onReady()
{
    trace(QStringLiteral("[dirtree] ready"));
    setStatus([] { return said("已连接"); });
    makeRootItem(QStringLiteral("/"));
}

void RemoteDirTree::postList(const QString &path, bool isRoot)
{
    worker->post({qint32(DirTreeJobKind::List), 0, isRoot, path, QString(), QString()});
}

void RemoteDirTree::makeRootItem(const QString &path)
{
    if (rootCreated || !worker)
        return;
    rootCreated = true;
    auto *root = new QTreeWidgetItem(tree, {path});
    root->setData(0, PathRole, path);
    root->setData(0, IsDirRole, true);
    root->setData(0, LoadedRole, true);
    addPlaceholder(root);
    pathIndex.insert(path, root);
    postList(path, true);
    root->setExpanded(true);
}

void RemoteDirTree::addPlaceholder(QTreeWidgetItem *item)
{
    auto *placeholder = new QTreeWidgetItem(item, {QStringLiteral("…")});
    placeholder->setData(0, PlaceholderRole, true);
    placeholder->setFlags(Qt::NoItemFlags);
}

void RemoteDirTree::onExpanded(QTreeWidgetItem *item)
{
    if (!item)
        return;
    const QString path = item->data(0, PathRole).toString();
    const bool placeholder = item->data(0, PlaceholderRole).toBool();
    const bool loaded = item->data(0, LoadedRole).toBool();
    trace(QStringLiteral("[dirtree] expand \"%1\" worker=%2 placeholder=%3 loaded=%4")
              .arg(path, QString::number(quintptr(worker)), bit(placeholder), bit(loaded)));
    if (!worker || placeholder || loaded || path.isEmpty())
        return;
    // Marked before the answer comes, so a second expansion lists nothing.
    item->setData(0, LoadedRole, true);
    postList(path, false);
    trace(QStringLiteral("[dirtree] posted list \"%1\"").arg(path));
}

void RemoteDirTree::onListed(const QString &requested, const QString &absPath, const QVariantList &entries, bool isRoot)
{
    trace(QStringLiteral("[dirtree] listed req=\"%1\" abs=\"%2\" isRoot=%3 n=%4")
              .arg(requested, absPath, bit(isRoot), QString::number(entries.size())));
    QTreeWidgetItem *item = pathIndex.value(requested);
    if (!item && isRoot)
        item = tree->topLevelItem(0);
    if (!item) {
        trace(QStringLiteral("[dirtree] listed DROP req=\"%1\" (no item)").arg(requested));
        return;
    }
    if (absPath != requested) {
        pathIndex.remove(requested);
        pathIndex.insert(absPath, item);
        item->setData(0, PathRole, absPath);
    }
    if (isRoot) {
        rootPath = absPath;
        headerLabel->setText(absPath);
        headerLabel->setToolTip(
            rootFallback ? said("无权限访问 /，当前显示主目录：%1").arg(absPath) : absPath);
    }
    unindexDescendants(item);
    dropChildren(item);

    const QString prefix = absPath.endsWith(QLatin1Char('/')) ? absPath : absPath + QLatin1Char('/');
    QList<QTreeWidgetItem *> children;
    children.reserve(entries.size());
    QTreeWidgetItem *chosen = nullptr;
    for (const QVariant &value : entries) {
        const QVariantMap entry = value.toMap();
        const QString name = entry.value(QStringLiteral("name")).toString();
        const bool dir = entry.value(QStringLiteral("dir")).toBool();
        auto *child = new QTreeWidgetItem({name});
        const QString path = prefix + name;
        child->setData(0, PathRole, path);
        child->setData(0, IsDirRole, dir);
        child->setData(0, LoadedRole, !dir);
        const QColor color = colorForEntry(entry);
        if (color.isValid())
            child->setForeground(0, color);
        if (dir) {
            addPlaceholder(child);
            pathIndex.insert(path, child);
        }
        if (path == chosenPath)
            chosen = child;
        children << child;
    }
    item->addChildren(children);
    if (chosen) {
        tree->setCurrentItem(chosen);
        chosenPath.clear();
    }
    item->setData(0, LoadedRole, true);
    if (!std::exchange(keepStatusOnce, false))
        setStatus([n = entries.size()] { return LanguageManager::tr("%1 项", n).arg(n); }, StatusColor::neutral);
}

void RemoteDirTree::onFailed(const QString &requested, const QString &err, bool permDenied, bool isRoot)
{
    trace(QStringLiteral("[dirtree] failed req=\"%1\" permDenied=%2 isRoot=%3 err=%4")
              .arg(requested, bit(permDenied), bit(isRoot), err));
    if (isRoot && permDenied && !rootFallback) {
        rootFallback = true;
        rootCreated = false;
        pathIndex.clear();
        tree->clear();
        setStatus([] { return said("无权限访问 /，改为显示主目录"); }, StatusColor::warning);
        makeRootItem(QStringLiteral("."));
        return;
    }
    if (QTreeWidgetItem *item = pathIndex.value(requested)) {
        item->setData(0, LoadedRole, false);
        unindexDescendants(item);
        dropChildren(item);
        auto *note =
            new QTreeWidgetItem(item, {LanguageManager::tr(QStringLiteral("（无法读取，收起后再展开可重试）"))});
        note->setForeground(0, QColor(0xff, 0x6b, 0x6b));
        note->setFlags(Qt::NoItemFlags);
    }
    setStatus([requested, err] { return said("打开目录 %1 失败 %2").arg(requested, LanguageManager::tr(err)); },
              StatusColor::error);
}

void RemoteDirTree::onWorkerError(const QString &msg)
{
    trace(QStringLiteral("[dirtree] worker error: %1").arg(msg));
    setStatus([msg] { return LanguageManager::tr(msg); }, StatusColor::error);
}

void RemoteDirTree::dropChildren(QTreeWidgetItem *item)
{
    // A chosen row that goes (its menu may be open) leaves nothing chosen,
    // never a neighbour that the menu's next action would then work on; the
    // listing that brings the row back chooses it again.
    for (QTreeWidgetItem *row = tree->currentItem(); row; row = row->parent()) {
        if (row->parent() == item) {
            chosenPath = tree->currentItem()->data(0, PathRole).toString();
            tree->setCurrentItem(nullptr);
            break;
        }
    }
    qDeleteAll(item->takeChildren());
}

void RemoteDirTree::unindexDescendants(QTreeWidgetItem *item)
{
    for (int i = 0; i < item->childCount(); ++i) {
        QTreeWidgetItem *child = item->child(i);
        unindexDescendants(child);
        const QString path = child->data(0, PathRole).toString();
        if (pathIndex.value(path) == child)
            pathIndex.remove(path);
    }
}

void RemoteDirTree::refreshItem(QTreeWidgetItem *item)
{
    if (!item || !worker)
        return;
    unindexDescendants(item);
    dropChildren(item);
    item->setData(0, LoadedRole, true);
    const QString path = item->data(0, PathRole).toString();
    if (path.isEmpty())
        return;
    postList(path, false);
    if (!item->isExpanded())
        item->setExpanded(true);
}

void RemoteDirTree::refreshRoot()
{
    if (worker && worker->isRunning()) {
        tree->collapseAll();
        tree->clear();
        pathIndex.clear();
        rootCreated = false;
        rootPath.clear();
        const QString root = rootFallback ? QStringLiteral(".") : QStringLiteral("/");
        headerLabel->setText(root);
        makeRootItem(root);
    } else {
        connectTo(params);
    }
}

bool RemoteDirTree::currentItemIsDir() const
{
    QTreeWidgetItem *item = tree->currentItem();
    return !item || item->data(0, IsDirRole).toBool();
}

QString RemoteDirTree::currentItemPath() const
{
    QTreeWidgetItem *item = tree->currentItem();
    return item ? item->data(0, PathRole).toString() : QString();
}

bool RemoteDirTree::currentIsRoot() const
{
    QTreeWidgetItem *item = tree->currentItem();
    return item && !item->parent();
}

QString RemoteDirTree::currentRemoteDir() const
{
    QTreeWidgetItem *item = tree->currentItem();
    if (!item)
        return rootPath.isEmpty() ? QStringLiteral("/") : rootPath;
    const QString path = item->data(0, PathRole).toString();
    if (item->data(0, IsDirRole).toBool())
        return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QMenu *RemoteDirTree::buildContextMenu(QTreeWidgetItem *item)
{
    if (item && item->data(0, PlaceholderRole).toBool())
        item = nullptr;
    if (item)
        tree->setCurrentItem(item);
    auto *menu = new QMenu;
    const bool onItem = item != nullptr;
    // A listing that arrives while the menu is open may replace the row:
    // the refresh finds it again by its path.
    const QString path = item ? item->data(0, PathRole).toString() : QString();
    const bool folder = item && item->data(0, IsDirRole).toBool();
    // The root is the listing itself: it is never renamed, deleted or packed.
    const bool onEntry = onItem && item->parent();
    auto add = [&](const QString &text, bool enabled, auto slot) {
        QAction *action = menu->addAction(text, this, slot);
        action->setEnabled(enabled);
        return action;
    };
    menu->addAction(LanguageManager::tr(QStringLiteral("刷新")), this, [this, path, folder] {
        if (QTreeWidgetItem *row = folder ? pathIndex.value(path) : nullptr)
            refreshItem(row);
        else
            refreshRoot();
    });
    menu->addSeparator();
    add(LanguageManager::tr(QStringLiteral("新建文件")), true, &RemoteDirTree::actNewFile);
    add(LanguageManager::tr(QStringLiteral("新建文件夹")), true, &RemoteDirTree::actNewFolder);
    add(LanguageManager::tr(QStringLiteral("重命名")), onEntry, &RemoteDirTree::actRename);
    menu->addSeparator();
    add(LanguageManager::tr(QStringLiteral("下载")), onItem, &RemoteDirTree::actDownload);
    add(LanguageManager::tr(QStringLiteral("复制文件名")), onItem, &RemoteDirTree::actCopyName);
    add(LanguageManager::tr(QStringLiteral("复制绝对路径")), onItem, &RemoteDirTree::actCopyPath);
    add(LanguageManager::tr(QStringLiteral("删除")), onEntry, &RemoteDirTree::actDelete);
    menu->addSeparator();
    QMenu *upload = menu->addMenu(LanguageManager::tr(QStringLiteral("上传")));
    upload->addAction(LanguageManager::tr(QStringLiteral("文件")), this, &RemoteDirTree::actUploadFile);
    upload->addAction(LanguageManager::tr(QStringLiteral("文件夹")), this, &RemoteDirTree::actUploadFolder);
    menu->addSeparator();
    add(LanguageManager::tr(QStringLiteral("压缩")), onEntry, &RemoteDirTree::actCompress);
    return menu;
}

void RemoteDirTree::onContextMenu(const QPoint &pos)
{
    QTreeWidgetItem *item = tree->itemAt(pos);
    if (!item)
        tree->setCurrentItem(nullptr);
    std::unique_ptr<QMenu> menu(buildContextMenu(item));
    sftpPrompts().runMenu(menu.get(), tree->viewport()->mapToGlobal(pos));
}

std::optional<QString> RemoteDirTree::askName(const QString &title, const QString &label, const QString &text)
{
    const std::optional<QString> answer = sftpPrompts().text(this, title, label, text);
    if (!answer)
        return std::nullopt;
    const QString name = answer->trimmed();
    if (name.isEmpty())
        return std::nullopt;
    if (name.contains(QLatin1Char('/'))) {
        setStatus([] { return said("名称不能包含 /"); });
        return std::nullopt;
    }
    return name;
}

void RemoteDirTree::newItem(DirTreeJobKind kind, const QString &title, const QString &label, const QString &defaultName)
{
    const QString dir = currentRemoteDir();
    const std::optional<QString> name = askName(title, label, defaultName);
    if (!name)
        return;
    submitJob({qint32(kind), 0, false, sftpnames::joinRemotePath(dir, *name), QString(), dir});
}

void RemoteDirTree::actNewFile()
{
    newItem(DirTreeJobKind::NewFile, LanguageManager::tr(QStringLiteral("新建文件")),
            LanguageManager::tr(QStringLiteral("文件名：")), LanguageManager::tr(QStringLiteral("新建文件.txt")));
}

void RemoteDirTree::actNewFolder()
{
    newItem(DirTreeJobKind::NewFolder, LanguageManager::tr(QStringLiteral("新建文件夹")),
            LanguageManager::tr(QStringLiteral("文件夹名：")), LanguageManager::tr(QStringLiteral("新建文件夹")));
}

void RemoteDirTree::actRename()
{
    const QString cur = currentItemPath();
    if (cur.isEmpty() || currentIsRoot())
        return;
    const QString name = sftpnames::remoteName(cur);
    const QString parent = sftpnames::remoteParent(cur);
    const std::optional<QString> newName =
        askName(LanguageManager::tr(QStringLiteral("重命名")), LanguageManager::tr(QStringLiteral("新名称：")), name);
    if (!newName || *newName == name)
        return;
    submitJob({qint32(DirTreeJobKind::Rename), 0, false, cur, sftpnames::joinRemotePath(parent, *newName), parent});
}

void RemoteDirTree::actDelete()
{
    const QString cur = currentItemPath();
    if (cur.isEmpty() || currentIsRoot())
        return;
    const QString extra = currentItemIsDir() ? LanguageManager::tr(QStringLiteral("（目录及其全部内容）")) : QString();
    // The full path: a bare name does not say which of two same-named files goes.
    if (!sftpPrompts().confirm(this, LanguageManager::tr(QStringLiteral("删除")),
                               LanguageManager::tr(QStringLiteral("确定删除 %1 ？%2")).arg(cur, extra)))
        return;
    submitJob({qint32(DirTreeJobKind::Delete), 0, false, cur, QString(), sftpnames::remoteParent(cur)});
}

void RemoteDirTree::actDownload()
{
    const QString cur = currentItemPath();
    if (cur.isEmpty())
        return;
    const QString name = sftpnames::remoteName(cur);
    if (currentItemIsDir()) {
        const QString folder = sftpPrompts().folder(this, LanguageManager::tr(QStringLiteral("选择下载位置")));
        if (folder.isEmpty())
            return;
        // The root "/" has no name of its own: it lands in a folder named for the host.
        const QString target =
            name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("/") ? params.host : name;
        submitJob(
            {qint32(DirTreeJobKind::DownloadFolder), 0, false, cur, folder + QLatin1Char('/') + target, QString()});
        return;
    }
    const QString local = sftpPrompts().saveFile(this, LanguageManager::tr(QStringLiteral("下载 %1")).arg(name), name);
    if (local.isEmpty())
        return;
    submitJob({qint32(DirTreeJobKind::DownloadFile), 0, false, cur, local, QString()});
}

void RemoteDirTree::actUploadFile()
{
    const QString dir = currentRemoteDir();
    const QString local = sftpPrompts().openFile(this, LanguageManager::tr(QStringLiteral("上传到 %1")).arg(dir));
    if (local.isEmpty())
        return;
    submitJob({qint32(DirTreeJobKind::UploadFile), 0, false, local,
               sftpnames::joinRemotePath(dir, QFileInfo(local).fileName()), dir});
}

void RemoteDirTree::actUploadFolder()
{
    const QString dir = currentRemoteDir();
    const QString local = sftpPrompts().folder(this, LanguageManager::tr(QStringLiteral("选择要上传的文件夹")));
    if (local.isEmpty())
        return;
    submitJob({qint32(DirTreeJobKind::UploadFolder), 0, false, local,
               sftpnames::joinRemotePath(dir, QFileInfo(QDir::cleanPath(local)).fileName()), dir});
}

void RemoteDirTree::actCompress()
{
    const QString cur = currentItemPath();
    if (cur.isEmpty() || currentIsRoot())
        return;
    submitJob({qint32(DirTreeJobKind::Compress), 0, false, cur, cur + QStringLiteral(".tar.gz"),
               sftpnames::remoteParent(cur)});
}

void RemoteDirTree::actCopyName()
{
    const QString cur = currentItemPath();
    if (cur.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(sftpnames::remoteName(cur));
    setStatus([] { return said("已复制文件名"); });
}

void RemoteDirTree::actCopyPath()
{
    const QString cur = currentItemPath();
    if (cur.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(cur);
    setStatus([] { return said("已复制绝对路径"); });
}

int RemoteDirTree::submitJob(DirTreeJob job)
{
    if (!worker)
        return 0;
    job.id = nextJobId++;
    activeJobs.insert(job.id, job);
    ++activeJobCount;
    worker->post(job);
    return job.id;
}

void RemoteDirTree::onJobStart(int id, const QString &name, bool upload, qlonglong total)
{
    trace(QStringLiteral("[dirtree] job %1 start \"%2\" up=%3 total=%4")
              .arg(QString::number(id), name, bit(upload), QString::number(total)));
    flushProgress();
    progressThrottle.reset();
    transferIds.insert(id);
    emit sigTransferAdded(id, name, upload, total);
    setStatus([upload, name] { return QStringLiteral("%1 %2").arg(said(upload ? "↑ 上传" : "↓ 下载"), name); },
              StatusColor::warning);
}

void RemoteDirTree::onJobProgress(int id, qlonglong done, qlonglong total)
{
    if (progressThrottle.offer(done, total)) {
        progressTimer.stop();
        showProgress(id, done, total);
        return;
    }
    progressId = id;
    if (!progressTimer.isActive())
        progressTimer.start(int(progressThrottle.dueIn()));
}

void RemoteDirTree::flushProgress()
{
    progressTimer.stop();
    if (const std::optional<ProgressThrottle::Report> pending = progressThrottle.takePending())
        showProgress(progressId, pending->done, pending->total);
}

void RemoteDirTree::showProgress(int id, qint64 done, qint64 total)
{
    setStatus([done, total] { return said("%1 / %2 字节").arg(QString::number(done), QString::number(total)); });
    if (transferIds.contains(id))
        emit sigTransferProgress(id, done, total);
}

void RemoteDirTree::onJobDone(int id, const QString &msg)
{
    if (!activeJobs.contains(id))
        return;
    flushProgress();
    const DirTreeJob job = activeJobs.take(id);
    const int skipped = skippedEntries.take(id);
    trace(QStringLiteral("[dirtree] job %1 done").arg(id));
    const bool listed = transferIds.remove(id);
    if (listed)
        emit sigTransferFinished(id, msg, true);
    if (--activeJobCount < 1) {
        activeJobCount = 0;
        emit sigTransfersIdle();
        setStatus([] { return said("任务完成"); });
    }
    // Not only in the debug log: a copy that lacks them says so, here and
    // in its row of the transfer list.
    if (skipped > 0) {
        const auto note = [skipped] { return LanguageManager::tr("任务完成，跳过 %1 个链接或特殊文件", skipped).arg(skipped); };
        setStatus(note, StatusColor::warning);
        if (listed)
            emit sigTransferNote(id, note());
    }
    if (job.third.isEmpty())
        return;
    // The listing this brings leaves that note showing.
    keepStatusOnce = skipped > 0;
    if (QTreeWidgetItem *item = pathIndex.value(job.third))
        refreshItem(item);
    else
        refreshRoot();
}

void RemoteDirTree::onJobFailed(int id, const QString &err)
{
    if (!activeJobs.contains(id))
        return;
    flushProgress();
    activeJobs.remove(id);
    skippedEntries.remove(id);
    trace(QStringLiteral("[dirtree] job %1 failed: %2").arg(id).arg(err));
    if (transferIds.remove(id))
        emit sigTransferFinished(id, err, false);
    if (--activeJobCount < 1) {
        activeJobCount = 0;
        emit sigTransfersIdle();
    }
    setStatus([err] { return said("任务失败 %1").arg(LanguageManager::tr(err)); }, StatusColor::error);
}
