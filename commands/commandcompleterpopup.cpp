#include "commands/commandcompleterpopup.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

const char kStyle[] =
    "QWidget#cmdCompleterPopup{background:#252526;border:1px solid #3e3e42;}"
    "QListWidget#cmdCompleterList{background:#252526;color:#cccccc;border:none;outline:none;"
    "font-family:'Microsoft YaHei UI';font-size:12px;}"
    "QListWidget#cmdCompleterList::item{padding:4px 10px;border:none;}"
    "QListWidget#cmdCompleterList::item:selected{background:#04395e;color:#ffffff;}"
    "QScrollBar:vertical{background:#2d2d30;width:10px;}"
    "QScrollBar::handle:vertical{background:#3e3e42;border-radius:5px;min-height:20px;}"
    "QScrollBar::add-line:vertical,QScrollBar::sub-line:vertical{height:0px;}";

constexpr int MaxVisibleRows = 10;
constexpr int MaxWidth = 440;

QString shown(const QString &text)
{
    if (text.size() <= CommandCompleterPopup::MaxShownChars)
        return text;
    return text.left(CommandCompleterPopup::MaxShownChars) + QChar(0x2026);
}

QString escaped(const QString &text)
{
    return shown(text).toHtmlEscaped();
}

// More rows than a popup shows at once, so that typing on reuses most.
constexpr int MaxCachedRows = 64;

} // namespace

HtmlItemDelegate::~HtmlItemDelegate()
{
    qDeleteAll(documents);
}

QTextDocument *HtmlItemDelegate::document(const QStyleOptionViewItem &option) const
{
    const QString key = option.font.key() + QLatin1Char('\n') + option.text;
    if (QTextDocument *doc = documents.value(key))
        return doc;
    if (documents.size() >= MaxCachedRows) {
        qDeleteAll(documents);
        documents.clear();
    }
    auto *doc = new QTextDocument;
    doc->setDefaultFont(option.font);
    doc->setHtml(option.text);
    documents.insert(key, doc);
    return doc;
}

void HtmlItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    QTextDocument *doc = document(opt);
    opt.text.clear();
    QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, opt.widget);
    painter->save();
    painter->translate(textRect.topLeft());
    doc->setTextWidth(textRect.width());
    doc->drawContents(painter, QRectF(0, 0, textRect.width(), textRect.height()));
    painter->restore();
}

QSize HtmlItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    QTextDocument *doc = document(opt);
    // The ideal width of the document unwrapped, whatever a paint set.
    doc->setTextWidth(-1);
    return QSize(int(doc->idealWidth()) + 24, int(doc->size().height()) + 4);
}

CommandCompleterPopup::CommandCompleterPopup(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus)
{
    // On X11 a window that takes the focus when shown makes the owner's
    // input lose it, and the input's focus-out hides the popup at once.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName(QStringLiteral("cmdCompleterPopup"));
    setAttribute(Qt::WA_StyledBackground);
    setFocusPolicy(Qt::NoFocus);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    list = new QListWidget(this);
    list->setObjectName(QStringLiteral("cmdCompleterList"));
    list->setFocusPolicy(Qt::NoFocus);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setUniformItemSizes(true);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setItemDelegate(new HtmlItemDelegate(list));
    layout->addWidget(list);
    setStyleSheet(QString::fromLatin1(kStyle));

    connect(list, &QListWidget::itemClicked, this, &CommandCompleterPopup::clicked);
    qApp->installEventFilter(this);
}

CommandCompleterPopup::~CommandCompleterPopup()
{
    qApp->removeEventFilter(this);
}

QString CommandCompleterPopup::rowHtml(const CompletionCandidate &c)
{
    QString description;
    if (!c.description.isEmpty())
        description = QStringLiteral(" <span style='color:#9d9d9d;'>— %1</span>").arg(escaped(c.description));
    QString tag;
    if (c.source == u"历史")
        tag = QStringLiteral(" <span style='color:#4ec9b0;'>[历史]</span>");
    else if (c.source == u"按钮")
        tag = QStringLiteral(" <span style='color:#dcdcaa;'>[按钮]</span>");
    else if (!c.source.isEmpty())
        tag = QStringLiteral(" <span style='color:#569cd6;'>[%1]</span>").arg(escaped(c.source));
    return QStringLiteral("<span style='color:#e8e8e8;font-weight:600;'>%1</span>%2%3")
        .arg(escaped(c.text), description, tag);
}

QPoint CommandCompleterPopup::placeWithin(QPoint p, const QSize &size, const QRect &a, int typingHeight)
{
    const int right = a.left() + a.width() - 1;
    const int bottom = a.top() + a.height() - 1;
    if (p.x() + size.width() > right)
        p.setX(right - size.width());
    if (p.x() < a.left())
        p.setX(a.left());
    const int above = p.y() - typingHeight - size.height();
    if (p.y() + size.height() > bottom)
        p.setY(typingHeight > 0 && above >= a.top() ? above : bottom - size.height());
    if (p.y() < a.top())
        p.setY(a.top());
    return p;
}

void CommandCompleterPopup::showCandidates(const QVector<CompletionCandidate> &results, const QPoint &anchor,
                                           int typingHeight)
{
    list->clear();
    current = results.isEmpty() ? -1 : 0;
    if (results.isEmpty()) {
        hidePopup();
        return;
    }
    for (const CompletionCandidate &c : results) {
        auto *item = new QListWidgetItem(rowHtml(c), list);
        item->setData(Qt::UserRole, c.text);
        item->setToolTip(shown(c.text));
    }

    const int rowHeight = std::max(list->sizeHintForRow(0), 1);
    const int width = std::min(list->sizeHintForColumn(0) + 40, MaxWidth);
    const int height = int(std::min<qsizetype>(results.size(), MaxVisibleRows)) * rowHeight + 12;
    setFixedSize(width, height);

    QPoint p = anchor;
    if (const QScreen *screen = QGuiApplication::screenAt(anchor))
        p = placeWithin(anchor, size(), screen->availableGeometry(), typingHeight);
    move(p);
    show();
    raise();
    list->setCurrentRow(current);
    list->scrollToItem(list->item(current), QAbstractItemView::PositionAtCenter);
}

void CommandCompleterPopup::hidePopup()
{
    if (isVisible())
        hide();
    list->clear();
    current = -1;
}

QString CommandCompleterPopup::currentText() const
{
    const QListWidgetItem *item = current >= 0 ? list->item(current) : nullptr;
    return item ? item->data(Qt::UserRole).toString() : QString();
}

void CommandCompleterPopup::moveSelection(int step)
{
    const int n = list->count();
    if (n == 0)
        return;
    const int base = std::max(current, 0);
    current = ((base + step) % n + n) % n;
    list->setCurrentRow(current);
    list->scrollToItem(list->item(current), QAbstractItemView::PositionAtCenter);
}

void CommandCompleterPopup::clicked(QListWidgetItem *item)
{
    if (item)
        emit activated(item->data(Qt::UserRole).toString());
    hidePopup();
}

bool CommandCompleterPopup::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress && isVisible()) {
        const QPoint at = static_cast<QMouseEvent *>(event)->globalPosition().toPoint();
        if (!frameGeometry().contains(at))
            hidePopup();
    }
    // The press still does its own work wherever it landed.
    return false;
}

void CommandCompleterPopup::mousePressEvent(QMouseEvent *event)
{
    const QPoint inList = list->viewport()->mapFromGlobal(event->globalPosition().toPoint());
    if (list->viewport()->rect().contains(inList)) {
        QWidget::mousePressEvent(event);
        return;
    }
    hidePopup();
    event->accept();
}
