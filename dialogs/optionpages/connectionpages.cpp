#include "dialogs/optionpages/globalpages.h"

using namespace optiontext;

const std::vector<OptionRow> &defaultSessionPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("默认会话类型")),
        combo("default/protocol", tr("新建会话时的默认协议"), lit("SSH2"),
              {lit("SSH2"), lit("Telnet"), lit("Serial"), lit("Raw TCP"), tr("本地 Shell")}),
        section(tr("SSH 默认参数")),
        spin(keys::sshPort, tr("端口"), 1, 65535).beside(),
        combo(keys::sshAuth, tr("认证方式")).beside(),
        line("default/sshUser", tr("用户名"), lit("admin")),
        section(tr("串口默认参数")),
        combo("default/serialBaud", tr("波特率"), lit("115200"), {lit("9600"), lit("115200"), lit("460800")}).beside(),
        combo("default/serialFmt", tr("数据位 / 停止位 / 校验"), tr("8 / 1 / 无"),
              {tr("8 / 1 / 无"), tr("8 / 1 / 偶校验"), tr("7 / 1 / 偶校验")})
            .beside(),
    };
    return rows;
}

const std::vector<OptionRow> &credentialsPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("凭据集列表")),
        table("credentials", {tr("名称"), tr("用户名"), tr("类型")}, 200,
              {{tr("🔑 生产环境管理员"), lit("admin"), tr("密码")},
               {tr("🔑 开发服务器 root"), lit("root"), tr("密码")},
               {lit("🔑 deploy-key"), lit("-"), tr("私钥")}}),
        buttons({tr("➕ 新建凭据集")}, true),
        section(tr("存储设置")),
        line("cred/folder", lit("Personal Data Folder"), lit("%APPDATA%\\Halvorstead\\credentials\\"),
             tr("凭据数据单独存储，便于网络驱动器共享会话而不泄露密码")),
        // Saved passwords are sealed with the password layer's key file here.
        check("cred/dpapi", tr("使用本机密钥文件加密凭据"), true),
    };
    return rows;
}

const std::vector<OptionRow> &proxyPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("全局代理")),
        combo("proxy/type", tr("代理类型"), tr("无"),
              {tr("无"), tr("HTTP 代理"), lit("SOCKS4"), lit("SOCKS5"), tr("TIS 防火墙"), lit("Wingate"),
               tr("本地代理命令")}),
        line("proxy/host", tr("主机"), lit("")).beside(2),
        line("proxy/port", tr("端口"), lit("8080")).beside(1),
        line("proxy/user", tr("用户名（可选）"), lit("")),
        secret("proxy/pass", tr("密码（可选）")),
        section(tr("命名代理配置")),
        table("namedProxies", {tr("名称"), tr("类型"), tr("地址")}, 120,
              {{tr("公司代理"), lit("HTTP"), lit("proxy.example.com:8080")}}),
    };
    return rows;
}
