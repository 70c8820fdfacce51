#include "dialogs/newsessionwizard.h"

#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/settingsform.h"
#include "dialogs/shellchoices.h"
#include "platform/pty.h"
#include "platform/serialports.h"
#include "ui/dialogframe.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

const char *const kCardStyle = "QFrame{border:none;border-radius:6px;background:%1;}";
const char *const kStepStyle = "QLabel{padding:4px 10px;border-radius:3px;color:%1;background:%2;}";

struct Card {
    const char *key, *icon, *title, *subtitle;
    bool translateTitle;
};

// Subtitle of the local card: the shells this system really offers.
QString localShellSubtitle()
{
    QStringList names;
    for (const QString &shell : platform::listedShells()) {
        const QString name = QFileInfo(shell).fileName();
        if (!names.contains(name) && name != QLatin1String("rbash") && name != QLatin1String("tmux"))
            names << name;
    }
    if (names.isEmpty())
        names << QFileInfo(platform::loginShell()).fileName();
    return names.mid(0, 3).join(QStringLiteral(" / "));
}

QLabel *formLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QStringLiteral("color:#cccccc;"));
    return label;
}

QComboBox *namedCombo(const char *name, const QStringList &items, QWidget *parent)
{
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QLatin1String(name));
    combo->addItems(items);
    return combo;
}

} // namespace

const QStringList &baudItems()
{
    static const QStringList items{"9600", "19200", "38400", "57600", "115200", "230400", "460800", "921600"};
    return items;
}

const QStringList &parityItems()
{
    static const QStringList items{QStringLiteral("无 (None)"), QStringLiteral("奇 (Odd)"), QStringLiteral("偶 (Even)"),
                                   QStringLiteral("标记 (Mark)"), QStringLiteral("空格 (Space)")};
    return items;
}

const QStringList &flowItems()
{
    static const QStringList items{QStringLiteral("无 (None)"), QStringLiteral("硬件 (RTS/CTS)"),
                                   QStringLiteral("软件 (XON/XOFF)")};
    return items;
}

int stopBitsCode(const QString &text)
{
    return text == u"1.5" ? 3 : text == u"2" ? 2 : 1;
}

// The combos show the items translated; a code comes from the source text.
int parityCode(const QString &text)
{
    const QString source = LanguageManager::sourceAmong(text, parityItems());
    const QString &item = source.isEmpty() ? text : source;
    const char16_t *starts[] = {u"奇", u"偶", u"标记", u"空格"};
    for (int i = 0; i < 4; ++i)
        if (item.startsWith(QStringView(starts[i])))
            return i + 1;
    return 0;
}

int flowCode(const QString &text)
{
    const QString source = LanguageManager::sourceAmong(text, flowItems());
    const QString &item = source.isEmpty() ? text : source;
    return item.startsWith(u"硬件") ? 1 : item.startsWith(u"软件") ? 2 : 0;
}

QStringList shownItems(const QStringList &sources)
{
    QStringList shown;
    for (const QString &source : sources)
        shown << LanguageManager::tr(source);
    return shown;
}

int baudFromText(const QString &text, int fallback)
{
    bool ok = false;
    const int baud = text.trimmed().toInt(&ok);
    return ok && baud >= 50 && baud <= 4000000 ? baud : fallback;
}

QString NewSessionWizard::defaultPort(const QString &proto)
{
    if (proto == u"ssh")
        return QStringLiteral("22");
    if (proto == u"telnet")
        return QStringLiteral("23");
    if (proto == u"raw")
        return QStringLiteral("5000");
    if (proto == u"rlogin")
        return QStringLiteral("513");
    return {};
}

QStringList NewSessionWizard::enumerateSerialPorts()
{
    return platform::listSerialPorts();
}

NewSessionWizard::NewSessionWizard(QWidget *parent) : QDialog(parent)
{
    QVBoxLayout *root = frameDialog(this, LanguageManager::tr("🚀 新建会话向导")).outer;
    resize(600, 392);
    setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;border:1px solid #3e3e42;}"));

    auto *strip = new QWidget(this);
    strip->setObjectName(QStringLiteral("wizardSteps"));
    strip->setStyleSheet(
        QStringLiteral("QWidget#wizardSteps{background-color:#1e1e1e;border-bottom:1px solid #3e3e42;}"));
    auto *stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(16, 6, 16, 6);
    const char *stepTexts[] = {"1. 选择协议", "2. 连接参数", "3. 完成"};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            auto *arrow = new QLabel(QStringLiteral("→"), strip);
            arrow->setStyleSheet(QStringLiteral("color:#858585;"));
            stripLayout->addWidget(arrow);
        }
        stepLabels << new QLabel(LanguageManager::tr(stepTexts[i]), strip);
        stripLayout->addWidget(stepLabels.last());
    }
    stripLayout->addStretch();
    root->addWidget(strip);

    pages = new QStackedWidget(this);
    pages->addWidget(buildProtocolPage());
    auto *paramsPage = new QWidget(pages);
    auto *paramsLayout = new QVBoxLayout(paramsPage);
    paramsLayout->setContentsMargins(16, 16, 16, 16);
    paramsLayout->setSpacing(12);
    paramsBox = new QWidget(paramsPage);
    paramsLayout->addWidget(paramsBox, 1);
    pages->addWidget(paramsPage);
    pages->addWidget(buildFinishPage());
    root->addWidget(pages, 1);

    auto *footer = new QWidget(this);
    footer->setStyleSheet(QStringLiteral("background-color:#2d2d30;border-top:1px solid #3e3e42;"));
    auto *footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(16, 5, 16, 7);
    prevButton = new QPushButton(LanguageManager::tr("上一步"), footer);
    prevButton->setObjectName(QStringLiteral("prevButton"));
    nextButton = new QPushButton(LanguageManager::tr("下一步"), footer);
    nextButton->setObjectName(QStringLiteral("nextButton"));
    for (QPushButton *b : {prevButton, nextButton}) {
        b->setAutoDefault(false);
        b->setCursor(Qt::PointingHandCursor);
    }
    footerLayout->addWidget(prevButton);
    footerLayout->addStretch();
    footerLayout->addWidget(nextButton);
    root->addWidget(footer);

    buildParamsPage();
    builtFor = protocol;
    showStep(1);
    connect(prevButton, &QPushButton::clicked, this, &NewSessionWizard::prevStep);
    connect(nextButton, &QPushButton::clicked, this, &NewSessionWizard::nextStep);
    connect(nameEdit, &QLineEdit::textEdited, this, [this] { nameEdited = true; });
}

QWidget *NewSessionWizard::buildProtocolPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->addWidget(formLabel(LanguageManager::tr("选择连接协议类型："), page));
    auto *grid = new QWidget(page);
    auto *gridLayout = new QGridLayout(grid);
    gridLayout->setSpacing(10);
    gridLayout->setContentsMargins(0, 0, 0, 0);
    const Card table[] = {
        {"ssh", "🔐", "SSH2", "安全远程登录", false},       {"telnet", "📡", "Telnet", "明文远程登录", false},
        {"serial", "🔌", "Serial", "串口通信", false},      {"raw", "📶", "Raw TCP", "原始 TCP 连接", false},
        {"local", "💻", "本地 Shell", nullptr, true},       {"rlogin", "🌐", "RLogin", "远程登录（遗留）", false},
    };
    int i = 0;
    for (const Card &c : table) {
        auto *card = new QFrame(grid);
        card->setObjectName(QStringLiteral("card_") + QLatin1String(c.key));
        card->setProperty("protoKey", QLatin1String(c.key));
        card->setFixedSize(176, 96);
        card->setCursor(Qt::PointingHandCursor);
        card->setStyleSheet(QString::fromLatin1(kCardStyle).arg(i == 0 ? "#0e3a5f" : "transparent"));
        auto *v = new QVBoxLayout(card);
        v->setAlignment(Qt::AlignCenter);
        v->setContentsMargins(6, 6, 6, 6);
        v->setSpacing(2);
        const QString title = c.translateTitle ? LanguageManager::tr(c.title) : QString::fromUtf8(c.title);
        const QString subtitle = c.subtitle ? LanguageManager::tr(c.subtitle) : localShellSubtitle();
        QLabel *labels[] = {new QLabel(QString::fromUtf8(c.icon), card), new QLabel(title, card),
                            new QLabel(subtitle, card)};
        labels[0]->setStyleSheet(QStringLiteral("font-size:20px;"));
        labels[1]->setStyleSheet(QStringLiteral("font-weight:600;color:#ffffff;"));
        // Long subtitles in some languages: wrap rather than clip.
        labels[2]->setStyleSheet(QStringLiteral("color:#a0a0a0;font-size:11px;"));
        labels[2]->setWordWrap(true);
        labels[2]->setMinimumWidth(164);
        for (QLabel *l : labels) {
            l->setAlignment(Qt::AlignCenter);
            v->addWidget(l);
        }
        card->installEventFilter(this);
        cards << card;
        gridLayout->addWidget(card, i / 3, i % 3);
        ++i;
    }
    layout->addWidget(grid);
    layout->addStretch();
    return page;
}

QWidget *NewSessionWizard::buildFinishPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(16);
    auto block = [&](const char *label, QWidget *editor) {
        auto *b = new QVBoxLayout;
        b->setContentsMargins(0, 0, 0, 0);
        b->setSpacing(6);
        b->addWidget(formLabel(LanguageManager::tr(label), page));
        b->addWidget(editor);
        layout->addLayout(b);
    };
    nameEdit = new QLineEdit(LanguageManager::tr("新会话"), page);
    nameEdit->setObjectName(QStringLiteral("nameEdit"));
    block("会话名称", nameEdit);
    groupCombo = new QComboBox(page);
    groupCombo->setObjectName(QStringLiteral("groupCombo"));
    keepComboNarrow(groupCombo);
    for (const SessionGroup &g : SessionStore::instance().groups())
        groupCombo->addItem(g.name, g.name);
    if (groupCombo->count() == 0) {
        groupCombo->addItem(LanguageManager::tr("（无分组，保存到顶层）"), QString());
        groupCombo->setEnabled(false);
    }
    block("保存到分组", groupCombo);
    connectNowCheck = new QCheckBox(LanguageManager::tr("立即连接"), page);
    connectNowCheck->setObjectName(QStringLiteral("connectNowCheck"));
    connectNowCheck->setChecked(true);
    saveToTreeCheck = new QCheckBox(LanguageManager::tr("连接后保存到会话树"), page);
    saveToTreeCheck->setObjectName(QStringLiteral("saveToTreeCheck"));
    saveToTreeCheck->setChecked(true);
    layout->addWidget(connectNowCheck);
    layout->addWidget(saveToTreeCheck);
    layout->addStretch();
    return page;
}

void NewSessionWizard::presetGroup(const QString &groupName)
{
    if (groupName.isEmpty())
        return;
    const int at = groupCombo->findText(groupName, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (at >= 0)
        groupCombo->setCurrentIndex(at);
}

void NewSessionWizard::uncheckSaveToTree()
{
    saveToTreeCheck->setChecked(false);
}

void NewSessionWizard::selectProtocol(const QString &proto)
{
    protocol = proto;
}

bool NewSessionWizard::eventFilter(QObject *watched, QEvent *event)
{
    auto *card = qobject_cast<QFrame *>(watched);
    if (event->type() == QEvent::MouseButtonPress && card && card->property("protoKey").isValid()) {
        selectProtocol(card->property("protoKey").toString());
        for (QFrame *c : std::as_const(cards))
            c->setStyleSheet(QString::fromLatin1(kCardStyle).arg(c == card ? "#0e3a5f" : "transparent"));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void NewSessionWizard::nextStep()
{
    if (step >= 3)
        accept();
    else
        showStep(step + 1);
}

void NewSessionWizard::prevStep()
{
    if (step >= 2)
        showStep(step - 1);
}

void NewSessionWizard::showStep(int n)
{
    step = n;
    for (int i = 0; i < stepLabels.size(); ++i) {
        const bool current = i + 1 == n;
        stepLabels[i]->setStyleSheet(
            QString::fromLatin1(kStepStyle).arg(current ? "#ffffff" : "#858585", current ? "#007acc" : "transparent"));
    }
    if (n == 2 && protocol != builtFor) {
        keepParamTexts();
        // A port that was only some protocol's default gives way to the new
        // protocol's; a port the user typed stays.
        const QString port = kept.value(QStringLiteral("portEdit"));
        for (const char *p : {"ssh", "telnet", "raw", "rlogin"})
            if (port == defaultPort(QLatin1String(p)))
                kept.remove(QStringLiteral("portEdit"));
        buildParamsPage();
        builtFor = protocol;
    }
    pages->setCurrentIndex(n - 1);
    if (n == 3 && !nameEdited) {
        const QString name = defaultSessionName();
        if (!name.isEmpty())
            nameEdit->setText(name);
    }
    nextButton->setText(n == 3 ? LanguageManager::tr("完成") : LanguageManager::tr("下一步"));
}

QString NewSessionWizard::defaultSessionName() const
{
    if (protocol == u"serial") {
        // Names become log file names: no folder part.
        const QString port = serialPortCombo ? serialPortCombo->currentText().trimmed() : QString();
        return QStringLiteral("Serial-%1").arg(QFileInfo(port).fileName());
    }
    return hostEdit ? hostEdit->text().trimmed() : QString();
}

void NewSessionWizard::keepParamTexts()
{
    for (QComboBox *c : {serialPortCombo, baudCombo, dataBitsCombo, stopBitsCombo, parityCombo, flowCombo, authCombo})
        if (c)
            kept[c->objectName()] = c->currentText();
    if (shellCombo)
        kept[shellCombo->objectName()] = chosenShell(shellCombo);
    for (QLineEdit *e : {hostEdit, portEdit, userEdit})
        if (e)
            kept[e->objectName()] = e->text();
}

void NewSessionWizard::buildParamsPage()
{
    delete paramsBox->layout();
    qDeleteAll(paramsBox->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
    serialPortCombo = baudCombo = dataBitsCombo = stopBitsCombo = parityCombo = flowCombo = shellCombo = authCombo =
        nullptr;
    hostEdit = portEdit = userEdit = nullptr;

    auto *layout = new QVBoxLayout(paramsBox);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    auto keptOr = [this](const char *name, const QString &fallback) {
        const QString k = kept.value(QLatin1String(name));
        return k.isEmpty() ? fallback : k;
    };

    if (protocol == u"serial") {
        auto *grid = new QGridLayout;
        grid->setVerticalSpacing(10);
        grid->setHorizontalSpacing(16);
        grid->setColumnStretch(1, 1);
        serialPortCombo = namedCombo("serialPortCombo", enumerateSerialPorts(), paramsBox);
        // Lines the kernel does not list (a pty pair, a device by path) can
        // still be typed.
        serialPortCombo->setEditable(true);
        baudCombo = namedCombo("baudCombo", baudItems(), paramsBox);
        baudCombo->setEditable(true);
        baudCombo->setValidator(new QIntValidator(50, 4000000, baudCombo));
        dataBitsCombo = namedCombo("dataBitsCombo", {"5", "6", "7", "8"}, paramsBox);
        stopBitsCombo = namedCombo("stopBitsCombo", {"1", "1.5", "2"}, paramsBox);
        parityCombo = namedCombo("parityCombo", shownItems(parityItems()), paramsBox);
        flowCombo = namedCombo("flowCombo", shownItems(flowItems()), paramsBox);
        const struct {
            const char *label;
            QComboBox *combo;
            QString fallback;
        } rows[] = {
            {"串口", serialPortCombo, serialPortCombo->itemText(0)},
            {"波特率 (Baud)", baudCombo, QStringLiteral("115200")},
            {"数据位", dataBitsCombo, QStringLiteral("8")},
            {"停止位", stopBitsCombo, QStringLiteral("1")},
            {"校验位", parityCombo, LanguageManager::tr(parityItems().first())},
            {"流控", flowCombo, LanguageManager::tr(flowItems().first())},
        };
        int r = 0;
        for (const auto &row : rows) {
            grid->addWidget(formLabel(LanguageManager::tr(row.label), paramsBox), r, 0);
            grid->addWidget(row.combo, r++, 1);
            row.combo->setCurrentText(keptOr(row.combo->objectName().toLatin1().constData(), row.fallback));
        }
        layout->addLayout(grid);
        layout->addStretch();
        return;
    }
    if (protocol == u"local") {
        layout->addWidget(formLabel(LanguageManager::tr("Shell 类型"), paramsBox));
        shellCombo = new QComboBox(paramsBox);
        shellCombo->setObjectName(QStringLiteral("shellCombo"));
        fillShellCombo(shellCombo, kept.value(QStringLiteral("shellCombo")));
        layout->addWidget(shellCombo);
        layout->addStretch();
        return;
    }

    auto *row = new QHBoxLayout;
    row->setSpacing(12);
    auto column = [&](const char *label, QLineEdit *edit, int stretch) {
        auto *v = new QVBoxLayout;
        v->setSpacing(6);
        v->addWidget(formLabel(LanguageManager::tr(label), paramsBox));
        v->addWidget(edit);
        row->addLayout(v, stretch);
    };
    hostEdit = new QLineEdit(kept.value(QStringLiteral("hostEdit")), paramsBox);
    hostEdit->setObjectName(QStringLiteral("hostEdit"));
    hostEdit->setPlaceholderText(LanguageManager::tr("例如 192.168.1.1 或 example.com"));
    portEdit = new QLineEdit(kept.value(QStringLiteral("portEdit")), paramsBox);
    portEdit->setObjectName(QStringLiteral("portEdit"));
    column("主机名 / IP 地址 *", hostEdit, 2);
    column("端口", portEdit, 1);
    layout->addLayout(row);

    layout->addWidget(formLabel(LanguageManager::tr("防火墙 / 代理"), paramsBox));
    auto *proxy = namedCombo("proxyCombo",
                             {LanguageManager::tr("无"), LanguageManager::tr("HTTP 代理"), QStringLiteral("SOCKS4"), QStringLiteral("SOCKS5"),
                              LanguageManager::tr("依赖会话（跳板机）..."), LanguageManager::tr("本地代理命令...")},
                             paramsBox);
    layout->addWidget(proxy);
    layout->addWidget(formLabel(LanguageManager::tr("认证方式"), paramsBox));
    // Shown translated, stored as the source text as the option combos do.
    const QStringList methods{QStringLiteral("密码认证"), QStringLiteral("公钥认证"), QStringLiteral("键盘交互"),
                              QStringLiteral("Kerberos (GSSAPI)"), QStringLiteral("智能卡 / X.509")};
    authCombo = namedCombo("authCombo", {}, paramsBox);
    for (const QString &method : methods)
        authCombo->addItem(LanguageManager::tr(method), method);
    if (!kept.value(QStringLiteral("authCombo")).isEmpty())
        authCombo->setCurrentText(kept.value(QStringLiteral("authCombo")));
    layout->addWidget(authCombo);
    layout->addWidget(formLabel(LanguageManager::tr("用户名"), paramsBox));
    userEdit = new QLineEdit(kept.value(QStringLiteral("userEdit")), paramsBox);
    userEdit->setObjectName(QStringLiteral("userEdit"));
    layout->addWidget(userEdit);
    layout->addStretch();
    if (portEdit->text().isEmpty())
        portEdit->setText(defaultPort(protocol));
}

void NewSessionWizard::accept()
{
    NewSessionRequest r;
    r.protocol = protocol;
    r.name = nameEdit->text().trimmed();
    const QVariant data = groupCombo->currentData();
    r.group = data.isValid() ? data.toString() : groupCombo->currentText();
    if (protocol == u"serial") {
        SerialParams &s = r.serial;
        // What the user typed into an editable combo may carry blanks.
        s.serial_port = serialPortCombo->currentText().trimmed();
        s.serial_baud = baudFromText(baudCombo->currentText(), s.serial_baud);
        s.serial_databits = dataBitsCombo->currentText().toInt();
        s.serial_stopbits = stopBitsCode(stopBitsCombo->currentText());
        s.serial_parity = parityCode(parityCombo->currentText());
        s.serial_flow = flowCode(flowCombo->currentText());
        r.host = s.serial_port;
        r.port = QString::number(s.serial_baud);
    } else if (protocol == u"local") {
        r.host = chosenShell(shellCombo);
    } else {
        r.host = hostEdit->text().trimmed();
        r.port = portEdit->text().trimmed();
        r.user = userEdit->text().trimmed();
        r.auth = authCombo->currentData().toString();
    }
    r.connectNow = connectNowCheck->isChecked();
    r.saveToTree = saveToTreeCheck->isChecked();
    chosen = r;
    QDialog::accept();
}
