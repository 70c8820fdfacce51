#include "dialogs/optionpages/globalpages.h"

using namespace optiontext;

const std::vector<OptionRow> &displayPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("终端仿真")),
        combo("display/emulation", tr("仿真类型"), lit("VT220"),
              {lit("VT100"), lit("VT220"), lit("VT320"), lit("ANSI"), lit("SCO ANSI"), lit("xterm"),
               lit("xterm-256color"), lit("Linux console"), lit("Raw")})
            .beside(),
        combo("display/encoding", tr("编码"), lit("UTF-8"), {lit("UTF-8"), lit("GBK"), lit("GB2312")}).beside(),
        spin("display/scrollback", tr("回滚缓冲区（行）"), 5000, 500, 50000),
        section(tr("字体与外观")),
        fontFamily(keys::fontFamily, tr("字体")).beside(),
        spin(keys::fontSize, tr("大小"), 6, 48).withSuffix(" px").beside(),
        combo("display/cursor", tr("光标样式"), tr("块（闪烁）"),
              {tr("块（闪烁）"), tr("下划线（闪烁）"), tr("竖线（闪烁）")})
            .beside(),
        check("display/fontScale", tr("字体随窗口缩放"), true),
        check("display/autoWrap", tr("自动换行"), true),
        section(tr("行为")),
        check("display/autoCopy", tr("Auto Copy（选中即复制）"), true),
        check("display/rightClickPaste", tr("右键粘贴"), false),
        check("display/pasteConfirm", tr("粘贴多行文本前确认"), true),
        spin("display/pasteThreshold", tr("粘贴确认阈值（行数）"), 3, 1, 50),
        check("display/localEcho", tr("本地回显（设备不回显时开启）"), false),
    };
    return rows;
}
