#include "mainwindow/statusbar.h"

#include "core/languagemanager.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTime>
#include <QTimer>

namespace {
QString clockText()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
}
} // namespace

StatusBar::StatusBar(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("statusBar"));
    setFixedHeight(24);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("QWidget{background-color:#007acc;color:#ffffff;}"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 0, 6, 0);
    layout->setSpacing(0);

    hostLabel = addLabel(QString());
    addSeparator();
    stateLabel = addLabel(QString());
    addSeparator();
    infoLabel = addLabel(QString());
    addSeparator();
    recordLabel = addLabel(LanguageManager::tr(QStringLiteral("⚪ 未录制")), true,
                           LanguageManager::tr(QStringLiteral("点击切换日志")));
    recordLabel->setCursor(Qt::PointingHandCursor);
    addSeparator();
    layout->addStretch(1);
    clockLabel = new QLabel(clockText(), this);
    clockLabel->setFixedWidth(70);
    clockLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(clockLabel);

    hideIfEmpty(hostLabel);
    hideIfEmpty(stateLabel);
    hideIfEmpty(infoLabel);

    clock = new QTimer(this);
    clock->setInterval(1000);
    connect(clock, &QTimer::timeout, this, [this] { clockLabel->setText(clockText()); });
    clock->start();
}

QLabel *StatusBar::addLabel(const QString &text, bool clickable, const QString &toolTip)
{
    auto *label = new QLabel(text, this);
    label->setStyleSheet(QStringLiteral("QLabel{padding:0 8px;color:#ffffff;}"));
    if (clickable) // a style sheet cannot set the pointer's shape
        label->setCursor(Qt::PointingHandCursor);
    label->setTextFormat(Qt::PlainText);
    if (!toolTip.isEmpty())
        label->setToolTip(toolTip);
    layout()->addWidget(label);
    entries.append({label, nullptr});
    return label;
}

void StatusBar::addSeparator()
{
    auto *separator = new QLabel(this);
    separator->setFixedWidth(1);
    separator->setStyleSheet(QStringLiteral("QLabel{background-color:rgba(255,255,255,0.25);}"));
    layout()->addWidget(separator);
    if (!entries.isEmpty())
        entries.last().separator = separator;
}

void StatusBar::hideIfEmpty(QLabel *label)
{
    const bool visible = !label->text().isEmpty();
    label->setVisible(visible);
    for (const Entry &entry : std::as_const(entries)) {
        if (entry.label == label && entry.separator)
            entry.separator->setVisible(visible);
    }
}

void StatusBar::setHost(const QString &text)
{
    hostLabel->setText(text.isEmpty() ? QString() : QStringLiteral("🌐 ") + text);
    hideIfEmpty(hostLabel);
}

void StatusBar::setInfoText(const QString &text)
{
    infoLabel->setText(text);
    hideIfEmpty(infoLabel);
}

QString StatusBar::stateText(const QString &state)
{
    if (state.isEmpty())
        return QString();
    if (state == QLatin1String("connected"))
        return LanguageManager::tr(QStringLiteral("🟢 已连接"));
    if (state == QLatin1String("connecting"))
        return LanguageManager::tr(QStringLiteral("🟡 连接中"));
    if (state == QLatin1String("disconnected"))
        return LanguageManager::tr(QStringLiteral("🔴 未连接"));
    return LanguageManager::tr(QStringLiteral("⚪ 空闲"));
}

void StatusBar::setConnectionState(const QString &state)
{
    currentState = state;
    stateLabel->setText(stateText(state));
    hideIfEmpty(stateLabel);
}

void StatusBar::retranslateUi()
{
    recordLabel->setToolTip(LanguageManager::tr(QStringLiteral("点击切换日志")));
    setConnectionState(currentState);
    recordLabel->setText(LanguageManager::tr(QStringLiteral("⚪ 未录制")));
    hideIfEmpty(recordLabel);
}
