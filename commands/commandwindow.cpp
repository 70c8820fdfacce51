#include "commands/commandwindow.h"

#include "commands/commandhistory.h"
#include "commands/quickcommandbutton.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "resources/stylesheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>
#include <QWheelEvent>

using Lm = LanguageManager;

namespace {
constexpr int headerHeight = 28;
constexpr int expandedHeight = 110;

// Send targets in the order of the target box.
const char *const targetKeys[] = {"current", "all", "group", "visible"};

QStringList targetTexts()
{
    return {Lm::tr(QStringLiteral("当前会话")), Lm::tr(QStringLiteral("所有会话")),
            Lm::tr(QStringLiteral("当前标签组")), Lm::tr(QStringLiteral("可见会话"))};
}

QWidget *row(QWidget *parent, QHBoxLayout **layoutOut, int spacing)
{
    auto *widget = new QWidget(parent);
    widget->setObjectName(QStringLiteral("commandBlock"));
    auto *layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    *layoutOut = layout;
    return widget;
}
} // namespace

CommandWindow::CommandWindow(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("commandWindow"));
    setMinimumHeight(headerHeight);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    header = new QWidget(this);
    header->setObjectName(QStringLiteral("commandHeader"));
    header->setFixedHeight(headerHeight);
    // The program's sheet paints every widget dark: the header's labels and
    // blocks let its own colour through.
    header->setStyleSheet(QStringLiteral("#commandHeader{background-color:#252526;border-bottom:1px solid #3e3e42;}"
                                         "#commandHeader QLabel,#commandHeader QCheckBox,#commandBlock,#stripArea,#buttonStrip"
                                         "{background:transparent;}"));
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(8, 2, 8, 2);
    headerLayout->setSpacing(6);
    titleLabel = new QLabel(header);
    titleLabel->setStyleSheet(QStringLiteral("color:#cccccc;font-weight:600;"));
    headerLayout->addWidget(titleLabel);

    QHBoxLayout *blockLayout = nullptr;
    QWidget *targetBlock = row(header, &blockLayout, 4);
    targetLabel = new QLabel(targetBlock);
    targetCombo = new QComboBox(targetBlock);
    targetCombo->setObjectName(QStringLiteral("targetCombo"));
    targetCombo->setMinimumWidth(120);
    targetCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    blockLayout->addWidget(targetLabel);
    blockLayout->addWidget(targetCombo);
    headerLayout->addWidget(targetBlock);

    QWidget *hexBlock = row(header, &blockLayout, 4);
    hexCheck = new QCheckBox(hexBlock);
    hexCheck->setObjectName(QStringLiteral("hexCheck"));
    blockLayout->addWidget(hexCheck);
    headerLayout->addWidget(hexBlock);

    groupLabel = new QLabel(header);
    groupLabel->setStyleSheet(QStringLiteral("color:#858585;font-size:11px;"));
    headerLayout->addWidget(groupLabel);
    groupCombo = new QComboBox(header);
    groupCombo->setObjectName(QStringLiteral("groupCombo"));
    groupCombo->setMinimumWidth(100);
    groupCombo->setMaximumWidth(220); // a long group label must not crowd out the buttons
    groupCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    groupCombo->setStyleSheet(quickcommand::groupBoxStyleSheet());
    connect(groupCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, &CommandWindow::onGroupFilterChanged);
    headerLayout->addWidget(groupCombo);
    auto *separator = new QFrame(header);
    separator->setFrameShape(QFrame::VLine);
    separator->setStyleSheet(QStringLiteral("color:#3e3e42;background:#3e3e42;border:none;width:1px;"));
    separator->setFixedWidth(1);
    headerLayout->addWidget(separator);
    // The strip scrolls sideways (with the wheel) inside the room the header
    // leaves it, so that many buttons never widen the window.
    stripArea = new QScrollArea(header);
    stripArea->setObjectName(QStringLiteral("stripArea"));
    stripArea->setFrameShape(QFrame::NoFrame);
    stripArea->setWidgetResizable(true);
    stripArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    stripArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    stripArea->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    stripArea->viewport()->setAutoFillBackground(false);
    stripArea->viewport()->installEventFilter(this);
    buttonStrip = new QWidget(stripArea);
    buttonStrip->setObjectName(QStringLiteral("buttonStrip"));
    auto *stripLayout = new QHBoxLayout(buttonStrip);
    stripLayout->setContentsMargins(0, 0, 0, 0);
    stripLayout->setSpacing(4);
    stripArea->setWidget(buttonStrip);
    headerLayout->addWidget(stripArea, 1);
    arrow = new QLabel(QStringLiteral("▼"), header);
    arrow->setObjectName(QStringLiteral("collapseArrow"));
    arrow->setStyleSheet(QStringLiteral("color:#858585;padding:0 6px;"));
    arrow->setCursor(Qt::PointingHandCursor);
    arrow->setProperty("toggleBtn", true);
    arrow->installEventFilter(this);
    headerLayout->addWidget(arrow);
    root->addWidget(header);

    body = new QWidget(this);
    auto *bodyLayout = new QHBoxLayout(body);
    bodyLayout->setContentsMargins(8, 6, 8, 6);
    bodyLayout->setSpacing(8);
    input = new QPlainTextEdit(body);
    input->setObjectName(QStringLiteral("commandInput"));
    input->setMinimumHeight(40);
    // Commands wrap like a terminal line, anywhere: looking for word breaks
    // in a pasted megabyte without blanks takes the layout most of a minute.
    input->setWordWrapMode(QTextOption::WrapAnywhere);
    input->installEventFilter(this);
    bodyLayout->addWidget(input, 1);
    sendButton = new QPushButton(body);
    sendButton->setObjectName(QStringLiteral("primaryButton"));
    sendButton->setMinimumWidth(72);
    bodyLayout->addWidget(sendButton);
    root->addWidget(body, 1);
    setFocusProxy(input);

    connect(sendButton, &QPushButton::clicked, this, &CommandWindow::onSend);
    // Window-wide, so that a command typed here goes out while the focus is
    // elsewhere; enabled only while the input is on screen, so that the key
    // never sends a text the user cannot see and otherwise reaches the
    // terminal as usual.
    sendShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Return")), this);
    sendShortcut->setContext(Qt::WindowShortcut);
    sendShortcut->setEnabled(false);
    connect(sendShortcut, &QShortcut::activated, this, &CommandWindow::onSend);

    retranslateUi();
    rebuildButtons();
}

void CommandWindow::fillTargets()
{
    const int index = targetCombo->currentIndex();
    const QSignalBlocker block(targetCombo);
    targetCombo->clear();
    targetCombo->addItems(targetTexts());
    if (index >= 0 && index < targetCombo->count())
        targetCombo->setCurrentIndex(index);
}

void CommandWindow::retranslateUi()
{
    titleLabel->setText(Lm::tr(QStringLiteral("⌨️ 命令窗口")));
    targetLabel->setText(Lm::tr(QStringLiteral("发送到:")));
    hexCheck->setText(Lm::tr(QStringLiteral("HEX发送")));
    sendButton->setText(Lm::tr(QStringLiteral("发送")));
    input->setPlaceholderText(Lm::tr(QStringLiteral("输入命令，按 Ctrl+Enter 发送...")));
    fillTargets();
    groupLabel->setText(Lm::tr(QStringLiteral("分组:")));
    refreshGroupCombo();
}

void CommandWindow::setSendTarget(int index)
{
    if (index >= 0 && index < targetCombo->count())
        targetCombo->setCurrentIndex(index);
}

void CommandWindow::reloadButtons()
{
    refreshGroupCombo();
    rebuildButtons();
}

void CommandWindow::setCompleter(Completer replacement)
{
    completer = std::move(replacement);
    rebuildCompletions();
}

void CommandWindow::rebuildCompletions()
{
    syncHistorySession();
    if (completer.rebuild)
        completer.rebuild();
}

void CommandWindow::dismissCompletion()
{
    if (completer.dismiss)
        completer.dismiss();
}

QStringList CommandWindow::sessionHistory()
{
    syncHistorySession();
    return history;
}

void CommandWindow::takeCompletion(const QString &text)
{
    input->setPlainText(text);
    input->moveCursor(QTextCursor::End);
    historyIndex = -1;
    savedInput.clear();
    input->setFocus();
}

void CommandWindow::fillFromHistory(const QString &cmd)
{
    input->setPlainText(cmd);
    input->setFocus();
}

void CommandWindow::onSend()
{
    dismissCompletion();
    const QString text = input->toPlainText().trimmed();
    if (text.isEmpty())
        return;
    const int index = targetCombo->currentIndex();
    const bool known = index >= 0 && index < int(std::size(targetKeys));
    emit commandSend(QString::fromLatin1(known ? targetKeys[index] : targetKeys[0]), text, hexCheck->isChecked());
    addHistory(text);
    input->clear();
    historyIndex = -1;
    savedInput.clear();
}

void CommandWindow::syncHistorySession()
{
    const QString id = SessionStore::instance().currentSessionId();
    if (id == historySessionId)
        return;
    historySessionId = id;
    history = historyBySession.value(id);
    historyIndex = -1;
    savedInput.clear();
}

void CommandWindow::addHistory(const QString &cmd)
{
    if (cmd.isEmpty())
        return;
    syncHistorySession();
    if (!appendToHistory(history, cmd))
        return;
    historyBySession.insert(historySessionId, history);
    commandHistoryRegistry().append(historySessionId, cmd);
    rebuildCompletions();
}

void CommandWindow::clearHistory(const QString &sessionId)
{
    historyBySession.remove(sessionId);
    commandHistoryRegistry().remove(sessionId);
    if (sessionId != historySessionId)
        return;
    history.clear();
    historyIndex = -1;
    savedInput.clear();
    // Its commands must not linger among the completions either.
    rebuildCompletions();
}

void CommandWindow::showHistoryEntry(int index)
{
    if (index < 0 || index >= history.size())
        return;
    input->setPlainText(history.at(index));
    input->moveCursor(QTextCursor::End);
}

// Up walks towards the oldest entry and stays there; Down walks back and,
// one step past the newest, restores what the user had typed. Returns
// whether the key was taken.
bool CommandWindow::walkHistory(int key)
{
    syncHistorySession();
    const int n = history.size();
    if (n == 0)
        return false;
    if (key == Qt::Key_Up) {
        if (historyIndex == -1) {
            savedInput = input->toPlainText();
            historyIndex = n;
        } else if (historyIndex < 1) {
            return true;
        }
        showHistoryEntry(--historyIndex);
        return true;
    }
    if (historyIndex == -1)
        return false;
    if (++historyIndex >= n) {
        historyIndex = -1;
        input->setPlainText(savedInput);
        input->moveCursor(QTextCursor::End);
        return true;
    }
    showHistoryEntry(historyIndex);
    return true;
}

bool CommandWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == input) {
        switch (event->type()) {
        case QEvent::FocusOut:
            dismissCompletion();
            break;
        case QEvent::Show:
        case QEvent::Hide:
            sendShortcut->setEnabled(event->type() == QEvent::Show);
            break;
        case QEvent::KeyPress: {
            auto *key = static_cast<QKeyEvent *>(event);
            if (completer.keyPress && completer.keyPress(key))
                return true;
            const bool upDown = key->key() == Qt::Key_Up || key->key() == Qt::Key_Down;
            if (upDown && key->modifiers() == Qt::NoModifier && !input->toPlainText().contains(QLatin1Char('\n')))
                return walkHistory(key->key());
            break;
        }
        default:
            break;
        }
        return QWidget::eventFilter(watched, event);
    }
    if (watched == stripArea->viewport() && event->type() == QEvent::Wheel) {
        auto *wheel = static_cast<QWheelEvent *>(event);
        QScrollBar *bar = stripArea->horizontalScrollBar();
        bar->setValue(bar->value() - (wheel->angleDelta().y() ? wheel->angleDelta().y() : wheel->angleDelta().x()));
        return true;
    }
    if (event->type() == QEvent::MouseButtonPress && watched->property("toggleBtn").toBool()) {
        onHeaderClicked();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CommandWindow::onHeaderClicked()
{
    collapsed = !collapsed;
    body->setVisible(!collapsed);
    // Points the way the pane would go on the next click.
    arrow->setText(collapsed ? QStringLiteral("▲") : QStringLiteral("▼"));
    const int height = collapsed ? headerHeight : expandedHeight;
    setMinimumHeight(height);
    if (auto *splitter = qobject_cast<QSplitter *>(parentWidget())) {
        const QList<int> sizes = splitter->sizes();
        if (sizes.size() == 2)
            splitter->setSizes({sizes.at(0) + sizes.at(1) - height, height});
    }
    emit toggled(!collapsed);
}

void CommandWindow::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    menu.setStyleSheet(QString::fromUtf8(appStyleSheet));
    menu.addAction(Lm::tr(QStringLiteral("添加分组")), this, &CommandWindow::addGroupRequested);
    menu.addAction(Lm::tr(QStringLiteral("添加命令")), this, [this] {
        QString group = groupFilter;
        if (group.isEmpty()) {
            const QList<ButtonGroup> groups = SessionStore::instance().buttonGroups();
            if (!groups.isEmpty())
                group = groups.first().label;
        }
        emit addCommandRequested(group);
    });
    menu.exec(event->globalPos());
}
