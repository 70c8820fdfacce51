#include "sftp/widgets/transferpanel.h"

#include "core/languagemanager.h"
#include "ui/statuscolors.h"

#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
// Put before the status of a transfer that left something out; the column is
// made wide enough for it.
const QString kNoted = QStringLiteral("⚠ ");
} // namespace

TransferPanel::TransferPanel(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(LanguageManager::tr(QStringLiteral("传输列表")));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *title = new QLabel(LanguageManager::tr(QStringLiteral("传输列表")), this);
    title->setStyleSheet(QStringLiteral(
        "background:#252526;color:#cccccc;padding:4px 8px;border-bottom:1px solid #3e3e42;font-size:12px;"));
    title->setFixedHeight(26);
    layout->addWidget(title);

    tree = new QTreeWidget(this);
    tree->setObjectName(QStringLiteral("transferList"));
    tree->setColumnCount(4);
    tree->setHeaderLabels({LanguageManager::tr(QStringLiteral("名称")), LanguageManager::tr(QStringLiteral("方向")),
                           LanguageManager::tr(QStringLiteral("进度")), LanguageManager::tr(QStringLiteral("状态"))});
    tree->setRootIsDecorated(false);
    tree->setUniformRowHeights(true);
    tree->setSelectionMode(QAbstractItemView::NoSelection);
    tree->setFocusPolicy(Qt::NoFocus);
    // Fixed columns, widened where a language's words would not fit them; the
    // panel keeps room for them and a name, rather than cutting the name and
    // the status off behind a sideways scroll bar.
    QFont listFont = tree->font();
    listFont.setPixelSize(12);
    const QFontMetrics metrics(listFont);
    auto fit = [&](int width, const QStringList &texts) {
        for (const QString &text : texts)
            width = qMax(width, metrics.horizontalAdvance(text) + 14);
        return width;
    };
    const int widths[] = {
        0, fit(64, {LanguageManager::tr(QStringLiteral("↑ 上传")), LanguageManager::tr(QStringLiteral("↓ 下载"))}), 110,
        fit(90, {LanguageManager::tr(QStringLiteral("传输中…")), kNoted + LanguageManager::tr(QStringLiteral("完成"))})};
    tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setMinimumWidth(widths[1] + widths[2] + widths[3] + 120);
    QHeaderView *header = tree->header();
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; ++column) {
        header->setSectionResizeMode(column, QHeaderView::Fixed);
        header->resizeSection(column, widths[column]);
    }
    tree->setStyleSheet(QStringLiteral(
        "QTreeWidget{background-color:#1e1e1e;border:none;color:#cccccc;font-size:12px;}"
        "QHeaderView::section{background-color:#2d2d30;color:#cccccc;border:none;border-right:1px solid #3e3e42;"
        "padding:3px;}"));
    layout->addWidget(tree, 1);

    hideTimer.setSingleShot(true);
    hideTimer.setInterval(HideDelay);
    connect(&hideTimer, &QTimer::timeout, this, &TransferPanel::hideIfIdle);
}

void TransferPanel::addTransfer(int id, const QString &name, bool upload, qint64 total)
{
    stopHideCountdown();
    ++m_activeCount;
    if (isHidden())
        show();
    raise();

    auto *item = new QTreeWidgetItem(tree);
    item->setData(0, Qt::UserRole, id);
    item->setText(0, name);
    item->setToolTip(0, name);
    item->setText(1, upload ? LanguageManager::tr(QStringLiteral("↑ 上传"))
                            : LanguageManager::tr(QStringLiteral("↓ 下载")));
    item->setText(2, total < 1 ? QString() : QStringLiteral("0 / %1").arg(formatBytes(total)));
    item->setText(3, LanguageManager::tr(QStringLiteral("传输中…")));
    items.insert(id, item);

    auto *bar = new QProgressBar(tree);
    bar->setRange(0, total < 1 ? 0 : 100);
    bar->setValue(0);
    bar->setStyleSheet(QStringLiteral(
        "QProgressBar{background:#1a1a1a;border:1px solid #3e3e42;border-radius:2px;height:12px;text-align:center;}"
        "QProgressBar::chunk{background:#007acc;}"));
    tree->setItemWidget(item, 2, bar);
    bars.insert(id, bar);
    tree->scrollToBottom();
}

void TransferPanel::updateProgress(int id, qint64 done, qint64 total)
{
    QTreeWidgetItem *item = items.value(id);
    QProgressBar *bar = bars.value(id);
    if (!item || !bar)
        return;
    if (total > 0) {
        if (bar->maximum() == 0)
            bar->setRange(0, 100);
        bar->setValue(int(qBound(qint64(0), done * 100 / total, qint64(100))));
        item->setText(2, QStringLiteral("%1 / %2").arg(formatBytes(done), formatBytes(total)));
        bar->setToolTip(item->text(2)); // the bar covers its cell's text
    } else {
        item->setText(2, formatBytes(done));
        bar->setToolTip(item->text(2));
    }
}

void TransferPanel::finishTransfer(int id, const QString &status, bool ok)
{
    m_activeCount = qMax(m_activeCount - 1, 0);
    if (QTreeWidgetItem *item = items.value(id)) {
        item->setText(3, ok ? LanguageManager::tr(QStringLiteral("完成"))
                            : LanguageManager::tr(QStringLiteral("失败 %1")).arg(status));
        if (!ok)
            item->setToolTip(3, status);
        item->setForeground(3, ok ? QColor(78, 201, 176) : QColor(255, 107, 107));
        QProgressBar *bar = bars.value(id);
        // A bar still busy (no total was known) would look at work forever.
        if (bar && bar->maximum() == 0)
            bar->setRange(0, 100);
        if (bar && ok)
            bar->setValue(bar->maximum());
    }
    if (m_activeCount < 1)
        startHideCountdown();
}

void TransferPanel::noteTransfer(int id, const QString &note)
{
    QTreeWidgetItem *item = items.value(id);
    if (!item)
        return;
    item->setText(3, kNoted + item->text(3));
    item->setToolTip(3, note);
    item->setForeground(3, QColor(QLatin1String(StatusColor::warning)));
}

QString TransferPanel::formatBytes(qint64 n)
{
    constexpr qint64 KB = 1024, MB = KB * 1024, GB = MB * 1024;
    if (n < KB)
        return QStringLiteral("%1 B").arg(n);
    if (n < MB)
        return QStringLiteral("%1 KB").arg(double(n) / KB, 0, 'f', 1);
    if (n < GB)
        return QStringLiteral("%1 MB").arg(double(n) / MB, 0, 'f', 1);
    return QStringLiteral("%1 GB").arg(double(n) / GB, 0, 'f', 2);
}

void TransferPanel::setManualClock(bool manual)
{
    const bool running = hideTimer.isActive() || manualRemaining >= 0;
    stopHideCountdown();
    manualClock = manual;
    if (running)
        startHideCountdown();
}

void TransferPanel::elapse(int ms)
{
    if (!manualClock || manualRemaining < 0)
        return;
    manualRemaining -= ms;
    if (manualRemaining <= 0) {
        manualRemaining = -1;
        hideIfIdle();
    }
}

void TransferPanel::startHideCountdown()
{
    if (manualClock)
        manualRemaining = HideDelay;
    else
        hideTimer.start();
}

void TransferPanel::stopHideCountdown()
{
    hideTimer.stop();
    manualRemaining = -1;
}

void TransferPanel::hideIfIdle()
{
    // A transfer added while the countdown ran keeps the list in sight.
    if (m_activeCount < 1)
        hide();
}
