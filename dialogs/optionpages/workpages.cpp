#include "dialogs/optionpages/globalpages.h"

using namespace optiontext;

const std::vector<OptionRow> &keymapPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("快捷键绑定")),
        table("keymap", {tr("操作"), tr("快捷键")}, 260,
              {{tr("新建会话"), lit("Ctrl+N")},
               {tr("快速连接"), lit("Ctrl+Q")},
               {tr("断开当前会话"), lit("Ctrl+D")},
               {tr("复制"), lit("Ctrl+Shift+C")},
               {tr("粘贴"), lit("Ctrl+Shift+V")},
               {tr("清屏"), lit("Ctrl+L")},
               {tr("查找"), lit("Ctrl+F")},
               {tr("全屏"), lit("F11")},
               {tr("广播输入"), lit("Ctrl+Shift+B")},
               {tr("全局选项"), lit("Ctrl+,")}}),
        buttons({tr("导入 Keymap..."), tr("导出 Keymap..."), tr("恢复默认")}),
    };
    return rows;
}

const std::vector<OptionRow> &commandsPageRows()
{
    // "\r" in a command is the quick-command escape, two characters, not a CR.
    // The first group is the button strip's default group name, kept as is.
    static const std::vector<OptionRow> rows{
        section(tr("按钮栏定义")),
        table("commands", {tr("分组"), tr("名称"), tr("命令")}, 200,
              {{lit("常用"), lit("show version"), lit("show version\\r")},
               {lit("常用"), lit("ifconfig"), lit("show ip interface brief\\r")},
               {tr("设备命令"), lit("reboot"), lit("reboot\\r")},
               {tr("设备命令"), lit("write mem"), lit("write memory\\r")}}),
        buttons({tr("➕ 添加命令"), tr("导入..."), tr("导出...")}, true),
    };
    return rows;
}

const std::vector<OptionRow> &transferPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("文件传输目录")),
        line("transfer/zmodemDir", tr("ZMODEM / XMODEM / YMODEM 默认接收目录"), lit("%USERPROFILE%\\Downloads\\")),
        line("transfer/sftpDir", tr("SFTP 默认本地目录"), lit("%USERPROFILE%\\Documents\\")),
        line("transfer/kermitDir", tr("Kermit 默认目录"), lit("%USERPROFILE%\\Downloads\\")),
        section(tr("ZMODEM 设置")),
        check("transfer/zmodemAuto", tr("检测到远端 rz 时自动弹出接收对话框"), true),
        check("transfer/overwritePrompt", tr("覆盖已存在文件时提示"), false),
    };
    return rows;
}

const std::vector<OptionRow> &advancedPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("性能")),
        spin("adv/maxBuffer", tr("缓冲区上限（行）"), 50000, 1000, 100000),
        spin("adv/maxSessions", tr("最大会话数"), 32, 1, 256),
        section(tr("输入法")),
        check("adv/imeCompat", tr("IME 兼容模式"), true, tr("防止中文输入法在终端中产生乱码")),
        section(tr("安全")),
        check("adv/secureNoPass", tr("不保存任何密码（强制安全模式）"), false),
        check("adv/autoAcceptHost", tr("自动接受已知主机密钥（不推荐）"), false),
        check("adv/stripPassExport", tr("导出会话时剔除密码"), true),
        section(tr("配置存储")),
        line("adv/configDir", tr("配置目录"), lit("%APPDATA%\\Halvorstead\\")),
        check("adv/autoBackup", tr("异常退出时自动备份配置"), true),
    };
    return rows;
}
