#pragma once

#include <QStringList>

// Settings read in more than one place, each declared here once with its
// type and default: the option rows are built from these and every reader
// asks AppSettings::get with them, so the two cannot drift apart.

struct IntSetting {
    const char *key;
    int fallback;
};

struct TextSetting {
    const char *key;
    const char *fallback;
};

// A combo choice, stored as one of `choices` (source texts).
struct ChoiceSetting {
    const char *key;
    const char *fallback;
    const char *choices[4];
};

namespace keys {

inline constexpr IntSetting sshPort{"default/sshPort", 22};
inline constexpr ChoiceSetting sshAuth{"default/sshAuth", "密码认证", {"密码认证", "公钥认证", "键盘交互"}};
inline constexpr TextSetting knownHosts{"keys/knownHosts", "%APPDATA%\\Halvorstead\\known_hosts"};
inline constexpr TextSetting fontFamily{"display/fontFamily", "Consolas"};
inline constexpr IntSetting fontSize{"display/fontSize", 13};
inline constexpr TextSetting logDir{"log/dir", "%APPDATA%\\logs\\"};
inline constexpr TextSetting logFile{"log/file", "%S_%M_%D_%h.log"};

// A session's choice that takes the global one.
inline constexpr char inheritChoice[] = "默认（继承全局）";
inline constexpr ChoiceSetting logStartMode{"log/startMode", "追加", {"追加", "清空"}};
inline constexpr ChoiceSetting logDirection{"log/direction", "收发都记录", {"收发都记录", "仅接收", "仅发送"}};
inline constexpr ChoiceSetting logMode{"log/mode", "纯文本", {"纯文本", "HEX", "双份（文本+HEX）"}};
// A session's own log options count only when this says so.
inline constexpr ChoiceSetting logOption{"log/option", inheritChoice, {inheritChoice, "覆盖全局设置"}};

// The words of the keyword table's match-kind and colour columns, as source
// texts: a cell that is one of them in any language is stored as it, and the
// highlighter reads them.
const QStringList &keywordMatchKinds();
const QStringList &keywordColours();

} // namespace keys

// The choices of a setting, as source texts.
QStringList choicesOf(const ChoiceSetting &setting);
