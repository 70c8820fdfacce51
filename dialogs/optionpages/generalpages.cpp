#include "dialogs/optionpages/globalpages.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

using namespace optiontext;

namespace {
// Two fixed swatches: they show the terminal's own colours, not the theme's.
void themePreview(QVBoxLayout *layout, OptionBindings &)
{
    auto *row = new QHBoxLayout;
    row->setSpacing(12);
    const struct {
        OptionText label;
        const char *css;
    } swatches[] = {{tr("前景"), "background:#cccccc;border-radius:3px;"},
                    {tr("背景"), "background:#1e1e1e;border-radius:3px;"}};
    for (const auto &s : swatches) {
        row->addWidget(new QLabel(s.label.shown()));
        auto *swatch = new QLabel;
        swatch->setFixedSize(16, 16);
        // Outlined: the dark swatch is the page's own colour.
        swatch->setStyleSheet(QString::fromLatin1(s.css) + QStringLiteral("border:1px solid #6e6e6e;"));
        row->addWidget(swatch);
    }
    row->addStretch(1);
    layout->addLayout(row);
}
} // namespace

const std::vector<OptionPage> &globalOptionPages()
{
    static const std::vector<OptionPage> pages{
        {tr("常规"), generalPageRows},       {tr("默认会话"), defaultSessionPageRows},
        {tr("显示"), displayPageRows},       {tr("日志"), globalLogPageRows},
        {tr("主题"), themePageRows},         {tr("凭据管理器"), credentialsPageRows},
        {tr("自定义命令"), commandsPageRows}, {tr("脚本"), globalScriptPageRows},
        {tr("传输"), transferPageRows},      {tr("隧道"), tunnelsPageRows},
        {tr("密钥管理"), keysPageRows},      {tr("代理"), proxyPageRows},
        {tr("快捷键"), keymapPageRows},      {tr("高级"), advancedPageRows},
    };
    return pages;
}

const std::vector<OptionRow> &generalPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("启动行为")),
        check("general/restoreTabs", tr("启动时恢复上次会话/标签组"), false),
        check("general/singleInstance", tr("单实例模式（允许多窗口）"), true,
              tr("只允许运行一个 Halvorstead 进程，新请求会发送到已有实例")),
        combo("general/autoOpen", tr("启动时自动打开"), tr("恢复上次会话"),
              {tr("恢复上次会话"), tr("打开默认会话"), tr("打开标签组..."), tr("不自动打开")}),
        section(tr("窗口与界面")),
        check("general/confirmExit", tr("退出时确认"), true),
        check("general/rememberWindow", tr("记忆窗口位置/大小/布局"), true),
        check("general/minimizeTray", tr("最小化到系统托盘"), false),
        section(tr("语言与更新")),
        check("general/autoUpdate", tr("自动检查更新"), true),
    };
    return rows;
}

const std::vector<OptionRow> &themePageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("颜色方案")),
        combo("theme/current", tr("当前主题"), lit("Solarized Dark"),
              {lit("Solarized Dark"), lit("Solarized Light"), lit("Dracula"), lit("One Dark"), tr("经典黑底白字"),
               tr("白底黑字"), tr("高对比")}),
        custom(themePreview),
        section(tr("界面主题")),
        check("theme/followSystem", tr("跟随系统深色模式"), true),
        spin("theme/opacity", tr("窗口透明度（100%=不透明）"), 100, 70, 100),
    };
    return rows;
}
