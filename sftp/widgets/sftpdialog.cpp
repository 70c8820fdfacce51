#include "sftp/widgets/sftpdialog.h"

#include "core/languagemanager.h"
#include "sftp/widgets/sftpprompts.h"
#include "ui/boundedtext.h"
#include "ui/dialogframe.h"
#include "ui/statuscolors.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {


constexpr char kButtonStyle[] =
    "QPushButton{background-color:#2d2d30;border:1px solid #3e3e42;color:#cccccc;padding:5px 14px;border-radius:3px;}"
    "QPushButton:hover{background-color:#3e3e42;}QPushButton:disabled{color:#6a6a6a;}";

} // namespace

SftpDialog::SftpDialog(const SshConnectParams &p, QWidget *parent) : QDialog(parent), params(p)
{
    const QString title = LanguageManager::tr(QStringLiteral("🗂️ SFTP - %1")).arg(params.host);
    const DialogFrame frame = frameDialog(this, title, 12, 8);
    titleBar = frame.bar;
    QWidget *body = frame.body;
    QVBoxLayout *layout = frame.layout;
    resize(720, 480);
    setAttribute(Qt::WA_DeleteOnClose);
    setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));

    hostLabel = new QLabel(body);
    hostLabel->setText(boundedText(hostLabel, QStringLiteral("%1@%2:%3").arg(params.user, params.host, QString::number(params.port))));
    hostLabel->setStyleSheet(QStringLiteral("color:%1;").arg(QLatin1String(StatusColor::neutral)));
    layout->addWidget(hostLabel);

    auto *pathRow = new QHBoxLayout;
    upButton = new QPushButton(LanguageManager::tr(QStringLiteral("⬆ 上级")), body);
    pathEdit = new QLineEdit(body);
    pathEdit->setStyleSheet(QStringLiteral("QLineEdit{background-color:#1e1e1e;border:1px solid #3e3e42;color:#cccccc;"
                                           "padding:4px 6px;border-radius:3px;}"));
    refreshButton = new QPushButton(LanguageManager::tr(QStringLiteral("⟳ 刷新")), body);
    pathRow->addWidget(upButton);
    pathRow->addWidget(pathEdit, 1);
    pathRow->addWidget(refreshButton);
    layout->addLayout(pathRow);

    fileList = new QTreeWidget(body);
    fileList->setObjectName(QStringLiteral("sftpFileList"));
    fileList->setColumnCount(3);
    fileList->setHeaderLabels({LanguageManager::tr(QStringLiteral("名称")), LanguageManager::tr(QStringLiteral("大小")),
                               LanguageManager::tr(QStringLiteral("修改时间"))});
    fileList->setRootIsDecorated(false);
    fileList->setUniformRowHeights(true);
    fileList->setSelectionMode(QAbstractItemView::SingleSelection);
    fileList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    fileList->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    fileList->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    fileList->setStyleSheet(QStringLiteral(
        "QTreeWidget{background-color:#1e1e1e;border:1px solid #3e3e42;color:#cccccc;}"
        "QHeaderView::section{background-color:#2d2d30;color:#cccccc;border:none;border-right:1px solid #3e3e42;"
        "padding:4px;}"));
    layout->addWidget(fileList, 1);

    auto *buttonRow = new QHBoxLayout;
    uploadButton = new QPushButton(LanguageManager::tr(QStringLiteral("⬆ 上传...")), body);
    downloadButton = new QPushButton(LanguageManager::tr(QStringLiteral("⬇ 下载...")), body);
    deleteButton = new QPushButton(LanguageManager::tr(QStringLiteral("🗑 删除")), body);
    mkdirButton = new QPushButton(LanguageManager::tr(QStringLiteral("📁 新建文件夹")), body);
    for (QPushButton *button : {uploadButton, downloadButton, deleteButton, mkdirButton}) {
        button->setStyleSheet(QString::fromLatin1(kButtonStyle));
        buttonRow->addWidget(button);
    }
    buttonRow->addStretch(1);
    layout->addLayout(buttonRow);

    progressBar = new QProgressBar(body);
    progressBar->setTextVisible(true);
    progressBar->setRange(0, ProgressScale);
    progressBar->setValue(0);
    // Thousandths underneath, whole percents on the bar.
    progressBar->setFormat(QStringLiteral("%p%"));
    layout->addWidget(progressBar);
    statusLabel = new QLabel(body);
    layout->addWidget(statusLabel);
    setStatus(LanguageManager::tr(QStringLiteral("连接中...")), StatusColor::neutral);

    connect(upButton, &QPushButton::clicked, this, &SftpDialog::goUp);
    connect(refreshButton, &QPushButton::clicked, this, &SftpDialog::refresh);
    connect(pathEdit, &QLineEdit::returnPressed, this, [this] { navigate(pathEdit->text()); });
    connect(fileList, &QTreeWidget::itemDoubleClicked, this, &SftpDialog::onItemActivated);
    connect(uploadButton, &QPushButton::clicked, this, &SftpDialog::upload);
    connect(downloadButton, &QPushButton::clicked, this, &SftpDialog::download);
    connect(deleteButton, &QPushButton::clicked, this, &SftpDialog::removeSelected);
    connect(mkdirButton, &QPushButton::clicked, this, &SftpDialog::mkdir);
    progressTimer.setSingleShot(true);
    connect(&progressTimer, &QTimer::timeout, this, &SftpDialog::flushProgress);

    worker = new SftpDialogWorker(params);
    connect(worker, &ConnectionWorker::sigConnected, this, &SftpDialog::onConnected, Qt::QueuedConnection);
    connect(worker, &ConnectionWorker::sigError, this, &SftpDialog::onError, Qt::QueuedConnection);
    connect(worker, &SftpDialogWorker::sigListed, this, &SftpDialog::onListed, Qt::QueuedConnection);
    connect(worker, &SftpDialogWorker::sigProgress, this, &SftpDialog::onProgress, Qt::QueuedConnection);
    connect(worker, &SftpDialogWorker::sigDone, this, &SftpDialog::onDone, Qt::QueuedConnection);
    connect(worker, &SftpDialogWorker::sigFailed, this, &SftpDialog::onFailed, Qt::QueuedConnection);
    worker->start(QThread::InheritPriority);
}

SftpDialog::~SftpDialog()
{
    if (!worker)
        return;
    SftpDialogWorker *old = worker;
    worker = nullptr;
    disconnect(old, nullptr, this, nullptr);
    SftpSession::release(old);
}

void SftpDialog::closeEvent(QCloseEvent *event) { QDialog::closeEvent(event); }

QString SftpDialog::remotePath(const QString &name) const
{
    return currentPath.endsWith(QLatin1Char('/')) ? currentPath + name : currentPath + QLatin1Char('/') + name;
}

QString SftpDialog::sizeText(qint64 n)
{
    return n < 1024 ? QStringLiteral("%1 B").arg(n) : QStringLiteral("%1 KB").arg(n / 1024);
}

void SftpDialog::setStatus(const QString &text, const char *style)
{
    statusLabel->setText(text);
    if (style)
        statusLabel->setStyleSheet(QStringLiteral("color:%1;").arg(QLatin1String(style)));
}

void SftpDialog::post(int kind, const QString &a, const QString &b)
{
    if (worker)
        worker->post({kind, a, b});
}

void SftpDialog::onConnected() { setStatus(LanguageManager::tr(QStringLiteral("已连接")), StatusColor::success); }

void SftpDialog::onError(const QString &msg)
{
    setStatus(msg, StatusColor::error);
    for (QWidget *w : std::initializer_list<QWidget *>{upButton, refreshButton, uploadButton, downloadButton,
                                                       deleteButton, mkdirButton, pathEdit})
        w->setEnabled(false);
}

void SftpDialog::onListed(const QString &absPath, const QVariantList &entries)
{
    currentPath = absPath;
    pathEdit->setText(absPath);
    fileList->setUpdatesEnabled(false);
    fileList->clear();
    QList<QTreeWidgetItem *> rows;
    rows.reserve(entries.size() + 1);
    auto *up = new QTreeWidgetItem({QStringLiteral("..")});
    up->setData(0, IsDirRole, true);
    QFont bold = up->font(0);
    bold.setWeight(QFont::Bold);
    up->setFont(0, bold);
    rows << up;
    // Servers list in their own order; folders first, then by name, reads
    // better, with the server's own ".." on top of them as the way up.
    QVariantList sorted = entries;
    std::stable_sort(sorted.begin(), sorted.end(), sftpnames::entryLessThan);
    std::stable_partition(sorted.begin(), sorted.end(), [](const QVariant &entry) {
        return entry.toMap().value(QStringLiteral("name")) == QLatin1String("..");
    });
    const bool atRoot = absPath == QLatin1String("/");
    int items = 0; // what the folder holds: neither way up is one of them
    for (const QVariant &value : sorted) {
        const QVariantMap entry = value.toMap();
        const QString name = entry.value(QStringLiteral("name")).toString();
        // "." leads nowhere, and so does ".." at the root.
        if (name == QLatin1String(".") || (atRoot && name == QLatin1String("..")))
            continue;
        items += name != QLatin1String("..");
        // ".." is a way up even from a server that gives it no attributes.
        const bool dir = entry.value(QStringLiteral("dir")).toBool() || name == QLatin1String("..");
        auto *row = new QTreeWidgetItem({dir ? QLatin1Char('[') + name + QLatin1Char(']') : name});
        row->setData(0, IsDirRole, dir);
        row->setData(0, NameRole, name);
        if (!dir)
            row->setText(1, sizeText(entry.value(QStringLiteral("size")).toLongLong()));
        const qint64 mtime = entry.value(QStringLiteral("mtime")).toLongLong();
        if (mtime > 0)
            row->setText(2, QDateTime::fromSecsSinceEpoch(mtime).toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        if (dir)
            row->setForeground(0, QColor(0x72, 0x9f, 0xcf));
        rows << row;
    }
    fileList->addTopLevelItems(rows);
    fileList->setUpdatesEnabled(true);
    setStatus(LanguageManager::tr("%1 项", items).arg(items), StatusColor::neutral);
}

void SftpDialog::onProgress(qlonglong done, qlonglong total)
{
    if (progressThrottle.offer(done, total)) {
        progressTimer.stop();
        showProgress(done, total);
    } else if (!progressTimer.isActive()) {
        progressTimer.start(int(progressThrottle.dueIn()));
    }
}

void SftpDialog::flushProgress()
{
    progressTimer.stop();
    if (const std::optional<ProgressThrottle::Report> pending = progressThrottle.takePending())
        showProgress(pending->done, pending->total);
}

void SftpDialog::showProgress(qint64 done, qint64 total)
{
    // 64-bit byte counts would overflow the bar's int range past 2 GiB. A
    // size unknown or 0 has nothing left once it is reported.
    const qint64 value = total < 1 ? ProgressScale : done * ProgressScale / total;
    progressBar->setValue(int(qBound(qint64(0), value, qint64(ProgressScale))));
    setStatus(LanguageManager::tr(QStringLiteral("%1 / %2 字节")).arg(QString::number(done), QString::number(total)));
}

void SftpDialog::onDone(const QString &summary)
{
    flushProgress();
    progressThrottle.reset();
    // The bar stays as the last report left it (full after a transfer)
    // until the next transfer starts; the listing that follows keeps it.
    setStatus(summary, StatusColor::success);
    refresh();
}

void SftpDialog::onFailed(const QString &what, const QString &err)
{
    flushProgress();
    progressThrottle.reset();
    setStatus(LanguageManager::tr(QStringLiteral("%1 失败 %2")).arg(what, err), StatusColor::error);
    progressBar->setValue(0);
}

void SftpDialog::onItemActivated(QTreeWidgetItem *item, int col)
{
    Q_UNUSED(col)
    if (!item)
        return;
    const QString name = item->data(0, NameRole).toString();
    if (name.isEmpty()) {
        goUp();
        return;
    }
    if (item->data(0, IsDirRole).toBool())
        navigate(currentPath + QLatin1Char('/') + name);
}

void SftpDialog::navigate(const QString &path)
{
    post(0, path);
    setStatus(LanguageManager::tr(QStringLiteral("打开 %1 ...")).arg(path));
}

void SftpDialog::goUp()
{
    if (currentPath.isEmpty() || currentPath == QLatin1String("/"))
        return;
    const QString parent = QFileInfo(currentPath).path();
    navigate(parent.isEmpty() ? QStringLiteral("/") : parent);
}

void SftpDialog::refresh() { navigate(currentPath.isEmpty() ? QStringLiteral(".") : currentPath); }

void SftpDialog::upload()
{
    const QString local =
        sftpPrompts().openFile(this, LanguageManager::tr(QStringLiteral("上传到 %1")).arg(currentPath));
    if (local.isEmpty())
        return;
    const QString remote = remotePath(QFileInfo(local).fileName());
    progressBar->setValue(0);
    post(1, local, remote);
    setStatus(LanguageManager::tr(QStringLiteral("上传 %1 ...")).arg(remote));
}

void SftpDialog::download()
{
    QTreeWidgetItem *item = fileList->currentItem();
    if (!item || item->data(0, IsDirRole).toBool())
        return;
    const QString name = item->data(0, NameRole).toString();
    const QString local = sftpPrompts().saveFile(this, LanguageManager::tr(QStringLiteral("下载 %1")).arg(name), name);
    if (local.isEmpty())
        return;
    progressBar->setValue(0);
    post(2, remotePath(name), local);
    setStatus(LanguageManager::tr(QStringLiteral("下载 %1 ...")).arg(name));
}

void SftpDialog::removeSelected()
{
    QTreeWidgetItem *item = fileList->currentItem();
    if (!item)
        return;
    const QString name = item->data(0, NameRole).toString();
    if (name.isEmpty() || name == QLatin1String(".."))
        return;
    const QString path = remotePath(name);
    if (!sftpPrompts().confirm(this, LanguageManager::tr(QStringLiteral("删除")),
                               LanguageManager::tr(QStringLiteral("确定删除 %1 ？")).arg(path)))
        return;
    post(3, path);
}

void SftpDialog::mkdir()
{
    const std::optional<QString> name = sftpPrompts().text(this, LanguageManager::tr(QStringLiteral("新建文件夹")),
                                                           LanguageManager::tr(QStringLiteral("名称：")), QString());
    if (!name || name->isEmpty())
        return;
    post(4, remotePath(*name));
}
