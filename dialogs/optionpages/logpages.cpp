#include "dialogs/optionpages/globalpages.h"

using namespace optiontext;

const std::vector<OptionRow> &globalLogPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("日志文件")),
        // The placeholder names only the variables the folder expansion knows.
        line(keys::logDir, tr("默认日志目录"),
             tr("支持变量：%APPDATA%（数据目录） %USERPROFILE%（主目录） %LOCALAPPDATA%")),
        line(keys::logFile, tr("文件名规则")),
        hint({tr("支持占位符：%H - 主机名    %M - 2位月份\n"), tr("%h - 2位小时    %S - 会话名    %D - 2位日期")}),
        section(tr("日志行为")),
        check("log/onOpen", tr("会话打开即开始记录"), false),
        combo(keys::logStartMode, tr("记录开始时日志文件")),
        combo(keys::logDirection, tr("记录方向")),
        combo(keys::logMode, tr("内容模式")),
        timestamp("log/timestamp", tr("时间戳格式"), lit("无")),
        spin("log/rotate", tr("自动分卷大小（MB，0=不分卷）"), 10, 0, 1000),
        check("log/rotateMidnight", tr("午夜自动分卷"), false),
        section(tr("自定义日志数据")),
        line("log/onConnect", tr("连接时插入"), lit("")),
        line("log/onDisconnect", tr("断开时插入"), lit("")),
        line("log/linePrefix", tr("每行前缀"), lit("")),
    };
    return rows;
}
