#include "dialogs/optionpages/globalpages.h"

using namespace optiontext;

const std::vector<OptionRow> &tunnelsPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("默认端口转发规则")),
        table("tunnels", {tr("类型"), tr("本地地址"), tr("远程地址")}, 160,
              {{tr("本地转发"), lit("127.0.0.1:8080"), lit("192.168.1.10:80")},
               {tr("动态转发"), lit("127.0.0.1:1080"), tr("SOCKS5 代理")}}),
        buttons({tr("➕ 添加规则")}, true),
        section(tr("动态转发")),
        spin("tunnel/socksPort", tr("默认 SOCKS 端口"), 1080, 1024, 65535),
    };
    return rows;
}

const std::vector<OptionRow> &keysPageRows()
{
    static const std::vector<OptionRow> rows{
        section(tr("私钥库")),
        table("keys", {tr("名称"), tr("类型"), tr("指纹")}, 160,
              {{lit("id_rsa"), lit("RSA 4096"), lit("SHA256:abc123...")},
               {lit("id_ed25519"), lit("Ed25519"), lit("SHA256:def456...")}}),
        buttons({tr("➕ 导入私钥"), tr("生成新密钥...")}),
        section(lit("Agent")),
        check("keys/agentEnabled", tr("启用 SSH Agent"), true, tr("允许多个 SSH 会话共享已解锁的私钥")),
        check("keys/agentForward", tr("Agent 转发"), true),
        section(tr("主机密钥库")),
        // An empty field means the SSH connection's own default file.
        line(keys::knownHosts, tr("known_hosts 文件"), lit("~/.ssh/known_hosts")),
    };
    return rows;
}
