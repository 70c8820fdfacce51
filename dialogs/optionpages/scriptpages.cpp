#include "dialogs/optionpages/globalpages.h"

using namespace optiontext;

const std::vector<OptionRow> &globalScriptPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("脚本宿主")),
        combo("script/lang", tr("默认脚本语言"), lit("VBScript (Windows Script Host)"),
              {lit("VBScript (Windows Script Host)"), tr("Python (外部解释器)")}),
        line("script/dir", tr("脚本默认目录"), lit("%USERPROFILE%\\Documents\\HalvorsteadScripts\\")),
        spin("script/debugPort", tr("调试端口（用于远程调试）"), 9229, 1024, 65535),
        check("script/confirm", tr("运行脚本前确认"), true),
    };
    return rows;
}
