#include "dialogs/basesettingsdialog.h"

#include "core/languagemanager.h"
#include "ui/dialogframe.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QSpinBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {
const char *const dialogStyle =
    "QDialog{background-color:#2d2d30;color:#cccccc;border:1px solid #3e3e42;}"
    "QLabel[settingsSection=true]{font-size:13px;font-weight:600;color:#ffffff;border-bottom:1px solid #3e3e42;"
    "padding-bottom:6px;margin:18px 0 12px 0;}"
    "QLabel[settingsSection=true]:first-child{margin-top:0;}"
    "QLabel[settingsSection=true][firstSection=true]{margin-top:0;}"
    "QLabel[formLabel=true]{font-size:12px;color:#858585;margin-bottom:5px;}"
    "QLabel[formHint=true]{font-size:11px;color:#6e6e6e;margin:3px 0 8px 0;}"
    "QCheckBox[formCheck=true]{font-size:12px;margin-bottom:8px;}"
    "QScrollArea{border:none;background:#2d2d30;}"
    "QWidget#settingsContent{background:#2d2d30;}"
    "QPushButton#primaryButton{background:#007acc;border:1px solid #3e3e42;color:#ffffff;padding:6px 18px;"
    "border-radius:3px;outline:none;}"
    "QPushButton#primaryButton:hover{background:#1177bb;}"
    "QPushButton#primaryButton:focus{outline:none;}"
    "QPushButton#plainButton{background:#2d2d30;border:1px solid #3e3e42;color:#cccccc;padding:6px 18px;"
    "border-radius:3px;outline:none;}"
    "QPushButton#plainButton:hover{background:#3e3e42;}"
    "QPushButton#plainButton:focus{outline:none;}"
    "QPushButton#plainButton:disabled{color:#555555;border-color:#333333;}"
    "QTableWidget[settingsTable=true]{background:#252526;border:1px solid #3e3e42;gridline-color:#3e3e42;"
    "color:#cccccc;font-size:12px;}"
    "QTableWidget[settingsTable=true]::item{padding:4px 8px;border-bottom:1px solid #3e3e42;}"
    "QHeaderView::section{background:#2d2d30;color:#858585;padding:5px 8px;border:none;}"
    // The dark style leaves the step buttons blank; draw their arrows.
    "QSpinBox::up-button,QSpinBox::down-button{subcontrol-origin:border;width:16px;background:#3e3e42;border:none;}"
    "QSpinBox::up-button{subcontrol-position:top right;}"
    "QSpinBox::down-button{subcontrol-position:bottom right;}"
    "QSpinBox::up-button:hover,QSpinBox::down-button:hover{background:#505055;}"
    "QSpinBox::up-arrow{image:url(:/icons/arrow-up.svg);width:8px;height:5px;}"
    "QSpinBox::down-arrow{image:url(:/icons/arrow-down.svg);width:8px;height:5px;}";

const char *const activeButtonStyle =
    "QPushButton{background:#094771;color:#ffffff;border:none;border-left:3px solid #007acc;text-align:left;"
    "padding:7px 16px;font-size:12px;}QPushButton:hover{background:#0a5591;}";
const char *const inactiveButtonStyle =
    "QPushButton{background:transparent;color:#858585;border:none;border-left:3px solid transparent;"
    "text-align:left;padding:7px 16px;font-size:12px;}QPushButton:hover{background:#3e3e42;color:#cccccc;}";

QPushButton *footerButton(const QString &text, const char *objectName, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(objectName));
    button->setCursor(Qt::PointingHandCursor);
    button->setAutoDefault(false);
    return button;
}
} // namespace

BaseSettingsDialog::BaseSettingsDialog(const QString &title, QWidget *parent) : QDialog(parent)
{
    const DialogFrame frame = frameDialog(this, title);
    titleBar = frame.bar;
    QVBoxLayout *root = frame.outer;
    resize(720, 560);
    setStyleSheet(QLatin1String(dialogStyle));

    auto *body = new QWidget(this);
    auto *bodyLayout = new QHBoxLayout(body);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    bodyLayout->setSpacing(0);
    auto *sidebar = new QWidget(body);
    sidebar->setObjectName(QStringLiteral("settingsSidebar"));
    sidebar->setAttribute(Qt::WA_StyledBackground, true);
    sidebar->setStyleSheet(QStringLiteral("QWidget#settingsSidebar{background:#252526;border-right:1px solid #3e3e42;}"));
    auto *sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(0, 8, 0, 8);
    sidebarLayout->setSpacing(0);
    // With few pages the buttons would spread over the height; keep them on top.
    sidebarLayout->setAlignment(Qt::AlignTop);
    contentStack = new QStackedWidget(body);
    contentStack->setObjectName(QStringLiteral("settingsContent"));
    bodyLayout->addWidget(sidebar);
    bodyLayout->addWidget(contentStack, 1);
    root->addWidget(body, 1);

    auto *footer = new QWidget(this);
    footer->setAttribute(Qt::WA_StyledBackground, true);
    // Scoped to the footer itself: unscoped, the border would reach the buttons.
    footer->setObjectName(QStringLiteral("settingsFooter"));
    footer->setStyleSheet(QStringLiteral("QWidget#settingsFooter{background-color:#252526;border-top:1px solid #3e3e42;}"));
    auto *footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(16, 8, 16, 8);
    footerLayout->addStretch(1);
    QPushButton *apply = footerButton(LanguageManager::tr(QStringLiteral("应用")), "plainButton", footer);
    QPushButton *cancel = footerButton(LanguageManager::tr(QStringLiteral("取消")), "plainButton", footer);
    QPushButton *ok = footerButton(LanguageManager::tr(QStringLiteral("确定")), "primaryButton", footer);
    footerLayout->addWidget(apply);
    footerLayout->addWidget(cancel);
    footerLayout->addWidget(ok);
    root->addWidget(footer);

    connect(ok, &QPushButton::clicked, this, [this] {
        applySettings();
        accept();
    });
    connect(apply, &QPushButton::clicked, this, [this] { applySettings(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void BaseSettingsDialog::addPage(const QString &title, QWidget *page)
{
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setWidget(page);
    // A wheel turned to scroll the page must not change each value passing
    // under the pointer: these take it only once the user has picked them.
    for (QWidget *w : page->findChildren<QWidget *>()) {
        if (qobject_cast<QComboBox *>(w) || qobject_cast<QAbstractSpinBox *>(w)) {
            w->setFocusPolicy(Qt::StrongFocus);
            w->installEventFilter(this);
        }
    }
    contentStack->addWidget(scroll);
    const int index = int(pageButtons.size());

    auto *button = new QPushButton(title);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QLatin1String(pageButtons.isEmpty() ? activeButtonStyle : inactiveButtonStyle));
    connect(button, &QPushButton::clicked, this, [this, index] { showPage(index); });
    pageButtons << button;
    auto *sidebar = contentStack->parentWidget()->findChild<QWidget *>(QStringLiteral("settingsSidebar"));
    if (auto *layout = sidebar ? qobject_cast<QVBoxLayout *>(sidebar->layout()) : nullptr)
        layout->addWidget(button);
}

bool BaseSettingsDialog::eventFilter(QObject *watched, QEvent *event)
{
    auto *w = qobject_cast<QWidget *>(watched);
    if (event->type() != QEvent::Wheel || !w || w->hasFocus())
        return QDialog::eventFilter(watched, event);
    if (auto *scroll = qobject_cast<QScrollArea *>(contentStack->currentWidget()))
        QCoreApplication::sendEvent(scroll->verticalScrollBar(), event);
    return true;
}

void BaseSettingsDialog::showPage(int index)
{
    for (int i = 0; i < pageButtons.size(); ++i)
        pageButtons.at(i)->setStyleSheet(QLatin1String(i == index ? activeButtonStyle : inactiveButtonStyle));
    contentStack->setCurrentIndex(index);
}
