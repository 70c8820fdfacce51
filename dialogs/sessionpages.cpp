// The terminal and log pages of the session options dialog: the rows that
// need the dialog (the remote-system type of the record, the font that
// defaults to the global one, the log folder with its effective value).

#include "core/appsettings.h"
#include "core/datadir.h"
#include "core/languagemanager.h"
#include "dialogs/sessionoptionsdialog.h"
#include "dialogs/settingsform.h"
#include "ui/boundedtext.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

namespace ot = optiontext;

namespace {

const char *const kComboStyle =
    "QComboBox{background:#2d2d30;border:1px solid #3e3e42;color:#cccccc;padding:2px 6px;border-radius:3px;"
    "font-size:12px;}QComboBox::drop-down{border:none;width:16px;}QComboBox QAbstractItemView{background:#2d2d30;"
    "border:1px solid #3e3e42;color:#cccccc;selection-background-color:#007acc;}";

QLabel *rowLabel(const QString &text)
{
    auto *label = new QLabel(text);
    label->setStyleSheet(QStringLiteral("font-size:12px;color:#858585;"));
    return label;
}

const QString kDefaultLogDir = QString::fromUtf8(keys::logDir.fallback);

} // namespace

std::vector<OptionRow> SessionOptionsDialog::terminalRows()
{
    auto environmentRow = [this](QVBoxLayout *layout, OptionBindings &) {
        auto *row = new QHBoxLayout;
        row->setSpacing(8);
        envTypeCombo = new QComboBox;
        envTypeCombo->setObjectName(QStringLiteral("envTypeCombo"));
        envTypeCombo->addItem(LanguageManager::tr("自动检测"), QStringLiteral("auto"));
        envTypeCombo->addItem(LanguageManager::tr("Windows"), QStringLiteral("windows"));
        envTypeCombo->addItem(LanguageManager::tr("Linux/Unix"), QStringLiteral("linux"));
        envTypeCombo->setCurrentIndex(qMax(0, envTypeCombo->findData(record.env_type, Qt::UserRole,
                                                                     Qt::MatchExactly | Qt::MatchCaseSensitive)));
        envTypeCombo->setStyleSheet(QString::fromLatin1(kComboStyle));
        row->addWidget(rowLabel(LanguageManager::tr("环境类型")), 0);
        row->addWidget(envTypeCombo, 1);
        row->addStretch();
        layout->addLayout(row);
    };
    auto fontRow = [this](QVBoxLayout *layout, OptionBindings &b) {
        auto *row = new QHBoxLayout;
        row->setSpacing(8);
        fontFamilyCombo = new QComboBox;
        fontFamilyCombo->setEditable(true);
        keepComboNarrow(fontFamilyCombo);
        fontFamilyCombo->addItems(QFontDatabase::families());
        fontFamilyCombo->setStyleSheet(QString::fromLatin1(kComboStyle));
        fontSizeSpin = new QSpinBox;
        fontSizeSpin->setRange(6, 48);
        fontSizeSpin->setSuffix(QStringLiteral(" px"));
        fontSizeSpin->setStyleSheet(QStringLiteral("QSpinBox{background:#2d2d30;border:1px solid #3e3e42;color:#cccccc;"
                                                   "padding:2px 6px;border-radius:3px;font-size:12px;}"));
        const QString family = AppSettings::instance().get(keys::fontFamily);
        const int size = AppSettings::instance().get(keys::fontSize);
        fontFamilyCombo->setCurrentText(readOptionString(prefix + QStringLiteral("term/fontFamily"), family));
        fontSizeSpin->setValue(readOptionInt(prefix + QStringLiteral("term/fontSize"), size));
        b.bind(QStringLiteral("term/fontFamily"), fontFamilyCombo);
        b.bind(QStringLiteral("term/fontSize"), fontSizeSpin);
        row->addWidget(rowLabel(LanguageManager::tr("字体")), 0);
        row->addWidget(fontFamilyCombo, 1);
        row->addWidget(fontSizeSpin, 0);
        row->addStretch();
        layout->addLayout(row);
    };
    return {
        section(ot::tr("终端仿真")),
        combo("term/emulation", ot::tr("仿真类型"), ot::tr("默认"), {ot::tr("默认"), ot::lit("VT220"), ot::lit("VT100"), ot::lit("xterm"), ot::lit("ANSI")}),
        combo("term/encoding", ot::tr("编码"), ot::tr("默认"), {ot::tr("默认"), ot::lit("UTF-8"), ot::lit("GBK")}),
        combo("term/backspace", ot::tr("退格键"), ot::tr("默认"), {ot::tr("默认"), ot::lit("BS (0x08)"), ot::lit("DEL (0x7F)")}),
        line("term/typeStr", ot::tr("终端类型字符串（发送给主机）"), ot::lit("xterm-256color")),
        custom(environmentRow),
        section(ot::tr("显示")),
        custom(fontRow),
        combo("term/scrollback", ot::tr("回滚缓冲区（行）"), ot::tr("默认"), {ot::tr("默认"), ot::lit("5000"), ot::lit("10000"), ot::lit("50000")}),
        check("term/overrideEcho", ot::tr("覆盖全局：本地回显"), false),
        check("term/overrideHex", ot::tr("覆盖全局：HEX 显示模式"), false),
        section(ot::tr("关键字高亮")),
        check("term/highlight", ot::tr("启用实时关键字高亮"), true),
        table("keywords", {ot::tr("关键字"), ot::tr("匹配方式"), ot::tr("颜色")}, 160,
              {{ot::lit("ERROR"), ot::lit("子串"), ot::lit("红色")}, {ot::lit("\\d+\\.\\d+\\.\\d+\\.\\d+"), ot::lit("正则"), ot::lit("绿色")}})
            .withColumnWords({{}, keys::keywordMatchKinds(), keys::keywordColours()}),
        buttons({ot::tr("➕ 添加关键字")}, true),
    };
}

std::vector<OptionRow> SessionOptionsDialog::logRows()
{
    auto fileRow = [this](QVBoxLayout *layout, OptionBindings &b) {
        QString pattern = readOptionString(QString::fromUtf8(keys::logFile.key), QString()).trimmed();
        if (pattern.isEmpty())
            pattern = QString::fromUtf8(keys::logFile.fallback);
        b.bind(QStringLiteral("log/file"),
               addFormLineEdit(layout, LanguageManager::tr("文件名规则（留空用全局）"),
                               readOptionString(prefix + QStringLiteral("log/file"), QString()), pattern));
    };
    const OptionText useGlobal = ot::tr("留空则使用全局设置");
    return {
        section(ot::tr("会话日志（继承全局）")),
        combo(keys::logOption, ot::tr("日志选项")),
        section(ot::tr("日志文件")),
        custom([this](QVBoxLayout *layout, OptionBindings &b) { addLogDirRow(layout, b); }),
        custom(fileRow),
        hint({ot::tr("支持占位符：%H - 主机名    %M - 2位月份\n"), ot::tr("%h - 2位小时    %S - 会话名    %D - 2位日期")}),
        section(ot::tr("日志行为")),
        check("log/onOpen", ot::tr("会话打开即开始记录"), false),
        inheritingCombo(keys::logStartMode, ot::tr("记录开始时日志文件")),
        inheritingCombo(keys::logDirection, ot::tr("记录方向")),
        inheritingCombo(keys::logMode, ot::tr("内容模式")),
        timestamp("log/timestamp", ot::tr("时间戳格式（留空继承全局）"), ot::lit("")),
        spin("log/rotate", ot::tr("自动分卷大小（MB，0=不分卷，-1=用全局）"), -1, -1, 1000),
        check("log/rotateMidnight", ot::tr("午夜自动分卷"), false),
        section(ot::tr("自定义日志数据")),
        line("log/onConnect", ot::tr("连接时插入（留空用全局）"), ot::lit(""), useGlobal),
        line("log/onDisconnect", ot::tr("断开时插入（留空用全局）"), ot::lit(""), useGlobal),
        line("log/linePrefix", ot::tr("每行前缀（留空用全局）"), ot::lit(""), useGlobal),
    };
}

void SessionOptionsDialog::addLogDirRow(QVBoxLayout *layout, OptionBindings &b)
{
    auto *label = new QLabel(LanguageManager::tr("日志目录（留空用全局）"));
    label->setProperty("formLabel", true);
    layout->addWidget(label);
    auto *row = new QHBoxLayout;
    row->setSpacing(6);
    logDirEdit = new QLineEdit(readOptionString(prefix + QStringLiteral("log/dir"), QString()));
    logDirEdit->setMinimumHeight(28);
    QString global = readOptionString(QStringLiteral("log/dir"), QString()).trimmed();
    setGreyPlaceholder(logDirEdit, global.isEmpty() ? kDefaultLogDir : global);
    b.bind(QStringLiteral("log/dir"), logDirEdit);
    row->addWidget(logDirEdit, 1);
    const struct {
        const char *caption, *tip;
        void (SessionOptionsDialog::*slot)();
    } actions[] = {{"浏览...", "选择目录并填入输入框", &SessionOptionsDialog::browseLogDir},
                   {"打开", "打开日志目录", &SessionOptionsDialog::openLogDir}};
    for (const auto &a : actions) {
        auto *button = new QPushButton(LanguageManager::tr(a.caption));
        button->setObjectName(QStringLiteral("plainButton"));
        button->setCursor(Qt::PointingHandCursor);
        button->setFixedHeight(28);
        button->setToolTip(LanguageManager::tr(a.tip));
        connect(button, &QPushButton::clicked, this, a.slot);
        row->addWidget(button);
    }
    layout->addLayout(row);
    // The folder that counts now, in plain sight as well as in the tooltip.
    logDirShown = addFormHint(layout, QString());
    logDirShown->setObjectName(QStringLiteral("effectiveLogDir"));
    logDirShown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(logDirEdit, &QLineEdit::textChanged, this, &SessionOptionsDialog::updateLogDirToolTip);
    updateLogDirToolTip();
}

QString SessionOptionsDialog::resolveLogDir(const QString &sessionDir)
{
    QString dir = sessionDir.trimmed();
    if (dir.isEmpty())
        dir = readOptionString(QStringLiteral("log/dir"), QString()).trimmed();
    if (dir.isEmpty())
        dir = kDefaultLogDir;
    // Folders are often written Windows-style; the logger reads them so too.
    return expandPathVariables(dir).replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString SessionOptionsDialog::effectiveLogDir() const
{
    const bool own = logOptionCombo && logOptionCombo->currentIndex() == 1;
    return resolveLogDir(own && logDirEdit ? logDirEdit->text() : QString());
}

void SessionOptionsDialog::updateLogDirToolTip()
{
    if (!logDirEdit)
        return;
    const QString text = LanguageManager::tr("当前生效目录：%1").arg(QDir::toNativeSeparators(effectiveLogDir()));
    logDirEdit->setToolTip(text);
    if (logDirShown)
        logDirShown->setText(text);
}

void SessionOptionsDialog::updateLogOverrideState()
{
    const bool on = logOptionCombo && logOptionCombo->currentIndex() == 1;
    const auto &widgets = bindings.boundWidgets();
    for (auto it = widgets.cbegin(); it != widgets.cend(); ++it) {
        if (!it.key().contains(QLatin1String("/log/")) || it.key().endsWith(QLatin1String("/log/option")))
            continue;
        it.value()->setEnabled(on);
        QWidget *parent = it.value()->parentWidget();
        if (parent && parent->property("tsFormatRow").toBool())
            parent->setEnabled(on);
    }
    updateLogDirToolTip();
}

void SessionOptionsDialog::browseLogDir()
{
    const QString chosen = QFileDialog::getExistingDirectory(this, LanguageManager::tr("选择日志目录"), resolveLogDir(logDirEdit->text()),
                                                             QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        logDirEdit->setText(chosen);
}

void SessionOptionsDialog::openLogDir()
{
    const QString dir = effectiveLogDir();
    const QString shown = QDir::toNativeSeparators(dir);
    const QString title = LanguageManager::tr("打开日志目录");
    if (!QDir(dir).exists()) {
        if (boundedMessage(this, QMessageBox::Question, title,
                           LanguageManager::tr("日志目录不存在：\n%1\n\n是否创建并打开？").arg(shown),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes)
            return;
        if (!QDir().mkpath(dir)) {
            boundedMessage(this, QMessageBox::Warning, title, LanguageManager::tr("无法创建目录：\n%1").arg(shown));
            return;
        }
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(dir)))
        boundedMessage(this, QMessageBox::Warning, title, LanguageManager::tr("无法打开目录：\n%1").arg(shown));
}
