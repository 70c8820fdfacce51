#include "dialogs/sessionoptionsdialog.h"

#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/settingsform.h"
#include "dialogs/shellchoices.h"

#include <QComboBox>
#include <QGridLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace ot = optiontext;

namespace {

QVBoxLayout *labelled(const QString &label, QWidget *editor)
{
    auto *column = new QVBoxLayout;
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(5);
    // Styled like the option rows below it, so the page reads as one form.
    auto *caption = new QLabel(label);
    caption->setProperty("formLabel", true);
    column->addWidget(caption);
    column->addWidget(editor);
    return column;
}

QComboBox *namedCombo(const char *name, const QStringList &items)
{
    auto *combo = new QComboBox;
    combo->setObjectName(QLatin1String(name));
    combo->addItems(items);
    return combo;
}

const std::vector<OptionRow> &networkLoginRows()
{
    static const std::vector<OptionRow> rows{
        combo("conn/proxy", ot::tr("防火墙 / 代理（继承全局）"), ot::tr("默认（继承全局）"),
              {ot::tr("默认（继承全局）"), ot::tr("无"), ot::tr("HTTP 代理"), ot::lit("SOCKS5"), ot::tr("依赖会话（跳板机）...")}),
        section(ot::tr("认证")),
        combo("conn/auth", ot::tr("认证方式"), ot::tr("密码认证"),
              {ot::tr("密码认证"), ot::tr("公钥认证"), ot::tr("键盘交互"), ot::lit("Kerberos (GSSAPI)")}),
        line("conn/user", ot::tr("用户名"), ot::lit("")).beside(1),
        secret("conn/pass", ot::tr("密码")).beside(1),
        section(ot::tr("连接行为")),
        check("conn/autoReconnect", ot::tr("断线自动重连"), true),
        spin("conn/reconnectInterval", ot::tr("重连间隔（秒）"), 5, 1, 300).beside(),
        spin("conn/maxReconnect", ot::tr("最大重连次数（0=无限）"), 0, 0, 999).beside(),
        spin("conn/keepalive", ot::tr("Keepalive 间隔（秒，0=关闭）"), 60, 0, 3600),
        line("conn/remoteCmd", ot::tr("连接后启动远程命令（可选）"), ot::lit(""), ot::tr("例如：cd /var/log && tail -f syslog")),
        line("conn/localCmd", ot::tr("连接前执行本地命令（可选）"), ot::lit(""), ot::tr("例如：knock 192.168.1.1 7000 8000 9000")),
    };
    return rows;
}

const std::vector<OptionRow> &appearanceRows()
{
    static const std::vector<OptionRow> rows{
        section(ot::tr("标签页外观")),
        combo("appearance/tabColor", ot::tr("标签背景色（用于区分环境）"), ot::tr("默认"),
              {ot::tr("默认"), ot::tr("红"), ot::tr("绿"), ot::tr("蓝")}),
        section(ot::tr("窗口")),
        check("appearance/independent", ot::tr("独立窗口（脱离主窗口）"), false),
        combo("appearance/opacity", ot::tr("窗口透明度"), ot::tr("默认（继承全局）"),
              {ot::tr("默认（继承全局）"), ot::lit("100%"), ot::lit("90%"), ot::lit("80%")}),
    };
    return rows;
}

const std::vector<OptionRow> &securityRows()
{
    static const std::vector<OptionRow> rows{
        section(ot::tr("密码存储")),
        // Passwords are sealed with this user's key file, not a system vault.
        check("sec/savePass", ot::tr("保存密码（用本机密钥文件加密）"), true),
        check("sec/promptPass", ot::tr("连接时始终提示输入密码"), false),
        section(ot::tr("主机密钥")),
        table("hostKeys", {ot::tr("主机"), ot::tr("指纹 (SHA256)")}, 120, {{ot::lit("192.168.1.1"), ot::lit("abc123def456...")}}),
        section(ot::tr("端口转发")),
        table("tunnels", {ot::tr("类型"), ot::tr("本地"), ot::tr("远程")}, 120,
              {{ot::tr("本地转发"), ot::lit("127.0.0.1:8080"), ot::lit("192.168.1.10:80")}}),
        buttons({ot::tr("➕ 添加转发规则")}, true),
    };
    return rows;
}

const std::vector<OptionRow> &scriptRows()
{
    static const std::vector<OptionRow> rows{
        section(ot::tr("登录脚本")),
        check("script/loginEnabled", ot::tr("启用登录脚本"), true),
        table("loginRules", {ot::tr("顺序"), ot::tr("期望字符串"), ot::tr("发送字符串")}, 160,
              {{ot::lit("1"), ot::lit("login:"), ot::lit("admin\\r")},
               {ot::lit("2"), ot::lit("Password:"), ot::lit("{password}\\r")},
               {ot::lit("3"), ot::lit("$"), ot::lit("enable\\r")}}),
        buttons({ot::tr("➕ 添加规则")}, true),
        check("script/enterInteractive", ot::tr("脚本完成后进入交互模式"), true),
        section(ot::tr("自动重连")),
        check("script/autoReconnect", ot::tr("断线后自动重连"), true),
        spin("script/reconnectInterval", ot::tr("重连间隔（秒）"), 5, 1, 300).beside(),
        spin("script/maxReconnect", ot::tr("最大次数（0=无限）"), 0, 0, 999).beside(),
        check("script/clearOnReconnect", ot::tr("重连时清屏"), false),
    };
    return rows;
}

} // namespace

SessionOptionsDialog::SessionOptionsDialog(const SessionInfo &session, QWidget *parent)
    : BaseSettingsDialog(LanguageManager::tr("⚙️ 会话选项 — ") + session.name, parent),
      record(session),
      prefix(QStringLiteral("session/") + session.id + QLatin1Char('/')),
      bindings(prefix, OptionBindings::Writes::Changes)
{
    const std::pair<const char *, QWidget *> pages[] = {
        {"连接", createConnectionPage()},
        {"终端", bindings.buildPage(terminalRows())},
        {"日志", bindings.buildPage(logRows())},
        {"外观", bindings.buildPage(appearanceRows())},
        {"安全", bindings.buildPage(securityRows())},
        {"脚本/自动化", bindings.buildPage(scriptRows())},
    };
    int widest = 0;
    for (const auto &[title, page] : pages) {
        widest = qMax(widest, page->minimumSizeHint().width());
        addPage(LanguageManager::tr(title), page);
    }
    // Log fields that inherit are disabled: make that visible.
    setStyleSheet(styleSheet() + QStringLiteral("QComboBox:disabled,QLineEdit:disabled,QSpinBox:disabled,"
                                                "QCheckBox:disabled{color:#6e6e6e;}"));
    // The timestamp row and the folder row do not shrink: rather a wider
    // dialog than pages that scroll sideways.
    const int sidebar = pageButtons.first()->parentWidget()->sizeHint().width();
    resize(qMax(width(), widest + sidebar + 24), height());

    logOptionCombo = qobject_cast<QComboBox *>(bindings.widget(prefix + QStringLiteral("log/option")));
    connect(logOptionCombo, &QComboBox::currentIndexChanged, this, &SessionOptionsDialog::updateLogOverrideState);
    updateLogOverrideState();
}

QWidget *SessionOptionsDialog::createConnectionPage()
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 20, 24, 20);
    layout->setSpacing(10);
    addSettingsSection(layout, LanguageManager::tr("会话"));

    nameEdit = new QLineEdit(record.name);
    nameEdit->setObjectName(QStringLiteral("nameEdit"));
    layout->addLayout(labelled(LanguageManager::tr("会话名称"), nameEdit));

    groupCombo = new QComboBox;
    groupCombo->setObjectName(QStringLiteral("groupCombo"));
    keepComboNarrow(groupCombo);
    const QList<SessionGroup> groups = SessionStore::instance().groups();
    for (const SessionGroup &g : groups)
        groupCombo->addItem(g.name, g.name);
    groupCombo->addItem(LanguageManager::tr("（无分组，保存到顶层）"), QString());
    if (groups.isEmpty()) {
        groupCombo->setEnabled(false);
    } else {
        // A group that no longer exists puts the session at the top level.
        const int at = groupCombo->findData(record.group, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
        groupCombo->setCurrentIndex(at >= 0 && !record.group.isEmpty() ? at : groupCombo->count() - 1);
    }
    layout->addLayout(labelled(LanguageManager::tr("保存到分组"), groupCombo));

    buildConnectionPage(layout);
    layout->addStretch(1);
    return page;
}

void SessionOptionsDialog::buildConnectionPage(QVBoxLayout *layout)
{
    const QString type = typeLower();
    if (type == u"serial") {
        buildSerialRows(layout);
        return;
    }
    if (type == u"local") {
        addSettingsSection(layout, LanguageManager::tr("本地 Shell"));
        shellCombo = new QComboBox;
        shellCombo->setObjectName(QStringLiteral("shellCombo"));
        fillShellCombo(shellCombo, record.host);
        layout->addLayout(labelled(LanguageManager::tr("Shell 类型"), shellCombo));
        return;
    }
    addSettingsSection(layout, LanguageManager::tr("连接参数"));
    auto *row = new QHBoxLayout;
    hostEdit = new QLineEdit(record.host);
    hostEdit->setObjectName(QStringLiteral("hostEdit"));
    portEdit = new QLineEdit(record.port);
    portEdit->setObjectName(QStringLiteral("portEdit"));
    row->addLayout(labelled(LanguageManager::tr("主机名 / IP 地址"), hostEdit), 2);
    row->addLayout(labelled(LanguageManager::tr("端口"), portEdit), 1);
    layout->addLayout(row);
    if (type != u"ssh" && type != u"telnet")
        return;
    bindings.appendRows(layout, networkLoginRows());
}

void SessionOptionsDialog::buildSerialRows(QVBoxLayout *layout)
{
    addSettingsSection(layout, LanguageManager::tr("串口连接参数"));
    auto *grid = new QGridLayout;
    grid->setVerticalSpacing(10);
    grid->setHorizontalSpacing(16);
    grid->setColumnStretch(1, 1);

    serialPortCombo = namedCombo("serialPortCombo", NewSessionWizard::enumerateSerialPorts());
    // A line the kernel does not list (a pty pair, a device by path) can be
    // typed; a port that vanished stays listed and selected.
    serialPortCombo->setEditable(true);
    if (serialPortCombo->findText(record.serial_port, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
        serialPortCombo->addItem(record.serial_port);
    serialPortCombo->setCurrentIndex(
        serialPortCombo->findText(record.serial_port, Qt::MatchExactly | Qt::MatchCaseSensitive));

    baudCombo = namedCombo("baudCombo", baudItems());
    baudCombo->setEditable(true);
    baudCombo->setValidator(new QIntValidator(50, 4000000, baudCombo));
    baudCombo->setEditText(QString::number(record.serial_baud));

    dataBitsCombo = namedCombo("dataBitsCombo", {"5", "6", "7", "8"});
    dataBitsCombo->setCurrentIndex(qMax(0, dataBitsCombo->findText(QString::number(record.serial_databits))));
    stopBitsCombo = namedCombo("stopBitsCombo", {"1", "1.5", "2"});
    stopBitsCombo->setCurrentIndex(record.serial_stopbits == 2 ? 2 : record.serial_stopbits == 3 ? 1 : 0);
    parityCombo = namedCombo("parityCombo", shownItems(parityItems()));
    parityCombo->setCurrentIndex(record.serial_parity >= 0 && record.serial_parity < 5 ? record.serial_parity : -1);
    flowCombo = namedCombo("flowCombo", shownItems(flowItems()));
    flowCombo->setCurrentIndex(record.serial_flow >= 0 && record.serial_flow < 3 ? record.serial_flow : -1);

    const std::pair<const char *, QComboBox *> rows[] = {
        {"串口", serialPortCombo}, {"波特率", baudCombo},   {"数据位", dataBitsCombo},
        {"停止位", stopBitsCombo}, {"校验位", parityCombo}, {"流控", flowCombo},
    };
    int r = 0;
    for (const auto &[label, combo] : rows) {
        auto *caption = new QLabel(LanguageManager::tr(label));
        caption->setProperty("formLabel", true);
        grid->addWidget(caption, r, 0);
        grid->addWidget(combo, r++, 1);
    }
    layout->addLayout(grid);
}

void SessionOptionsDialog::applySettings()
{
    if (nameEdit)
        record.name = nameEdit->text().trimmed();
    if (groupCombo) {
        const QVariant data = groupCombo->currentData();
        record.group = data.isValid() ? data.toString() : groupCombo->currentText();
    }
    if (envTypeCombo) {
        const QVariant data = envTypeCombo->currentData();
        record.env_type = data.isValid() ? data.toString() : QStringLiteral("auto");
    }
    const QString type = typeLower();
    if (type == u"serial") {
        const QString port = serialPortCombo ? serialPortCombo->currentText().trimmed() : record.serial_port;
        // A baud that is empty, no number or out of range keeps the record's.
        const int baud = baudCombo ? baudFromText(baudCombo->currentText(), record.serial_baud) : record.serial_baud;
        record.serial_port = port;
        record.serial_baud = baud;
        if (dataBitsCombo)
            record.serial_databits = dataBitsCombo->currentText().toInt();
        record.serial_stopbits = stopBitsCode(stopBitsCombo ? stopBitsCombo->currentText() : QStringLiteral("1"));
        record.serial_parity = parityCode(parityCombo ? parityCombo->currentText() : QString());
        record.serial_flow = flowCode(flowCombo ? flowCombo->currentText() : QString());
        record.host = port;
        record.port = QString::number(baud);
    } else if (type == u"local") {
        if (shellCombo)
            record.host = chosenShell(shellCombo);
        record.port.clear();
    } else {
        if (hostEdit)
            record.host = hostEdit->text().trimmed();
        if (portEdit)
            record.port = portEdit->text().trimmed();
    }

    if (!bindings.writeWidgets()) {
        QMessageBox::warning(this, LanguageManager::tr("保存密码失败"),
                             LanguageManager::tr("密码无法用本机密钥文件加密，本次输入的密码未被保存。\n为避免明文泄露，已保存的原值（若有）保持不变。"));
    }
    bindings.writeTables();
    AppSettings::instance().sync();

    if (applyHandler)
        applyHandler(record);
}
