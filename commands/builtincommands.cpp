#include "commands/builtincommands.h"

#include "commands/rawliteral.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

using namespace std::literals;

constexpr std::u16string_view kLinuxNames[] = {
    u"alias"sv, u"apt"sv, u"apt-get"sv, u"apt-cache"sv, u"arp"sv, u"awk"sv, u"apachectl"sv, u"httpd"sv,
    u"nginx"sv, u"chronyc"sv, u"dmidecode"sv, u"ethtool"sv, u"fail2ban-client"sv, u"iperf3"sv,
    u"iptraf-ng"sv, u"iotop"sv, u"ntpdate"sv, u"setenforce"sv, u"getenforce"sv, u"supervisorctl"sv,
    u"supervisord"sv, u"basename"sv, u"bash"sv, u"bc"sv, u"bg"sv, u"bind"sv, u"blkid"sv, u"builtin"sv,
    u"bzip2"sv, u"cal"sv, u"cat"sv, u"cd"sv, u"chgrp"sv, u"chmod"sv, u"chown"sv, u"chroot"sv, u"cksum"sv,
    u"clear"sv, u"cmp"sv, u"comm"sv, u"command"sv, u"cp"sv, u"crontab"sv, u"csplit"sv, u"curl"sv, u"cut"sv,
    u"date"sv, u"dd"sv, u"declare"sv, u"df"sv, u"diff"sv, u"dig"sv, u"dirname"sv, u"dmesg"sv, u"dnf"sv,
    u"docker"sv, u"du"sv, u"echo"sv, u"egrep"sv, u"env"sv, u"eval"sv, u"exec"sv, u"exit"sv, u"expand"sv,
    u"export"sv, u"expr"sv, u"factor"sv, u"false"sv, u"fg"sv, u"fgrep"sv, u"file"sv, u"find"sv, u"fmt"sv,
    u"fold"sv, u"free"sv, u"ftp"sv, u"gcc"sv, u"gdb"sv, u"getopts"sv, u"git"sv, u"grep"sv, u"groups"sv,
    u"gzip"sv, u"hash"sv, u"head"sv, u"history"sv, u"hostname"sv, u"htop"sv, u"id"sv, u"ifconfig"sv,
    u"inotifywait"sv, u"install"sv, u"ip"sv, u"jobs"sv, u"join"sv, u"journalctl"sv, u"kill"sv,
    u"killall"sv, u"less"sv, u"let"sv, u"ln"sv, u"local"sv, u"locate"sv, u"logname"sv, u"logout"sv,
    u"look"sv, u"lsof"sv, u"ls"sv, u"lsblk"sv, u"lscpu"sv, u"lsusb"sv, u"make"sv, u"man"sv, u"md5sum"sv,
    u"mkdir"sv, u"mknod"sv, u"mktemp"sv, u"more"sv, u"mount"sv, u"mv"sv, u"nano"sv, u"nc"sv, u"netstat"sv,
    u"nft"sv, u"nice"sv, u"nl"sv, u"nm"sv, u"nmap"sv, u"node"sv, u"nohup"sv, u"npm"sv, u"nslookup"sv,
    u"od"sv, u"openssl"sv, u"passwd"sv, u"paste"sv, u"patch"sv, u"perl"sv, u"pgrep"sv, u"pidof"sv,
    u"ping"sv, u"pip"sv, u"pkill"sv, u"pkg-config"sv, u"pmap"sv, u"pr"sv, u"printenv"sv, u"printf"sv,
    u"ps"sv, u"pstree"sv, u"pwd"sv, u"pwdx"sv, u"python3"sv, u"read"sv, u"readlink"sv, u"readonly"sv,
    u"realpath"sv, u"reboot"sv, u"rename"sv, u"reset"sv, u"return"sv, u"rev"sv, u"rm"sv, u"rmdir"sv,
    u"rsync"sv, u"scp"sv, u"screen"sv, u"sed"sv, u"seq"sv, u"sftp"sv, u"sha1sum"sv, u"sha256sum"sv,
    u"sh"sv, u"shopt"sv, u"shred"sv, u"shutdown"sv, u"sleep"sv, u"snap"sv, u"sort"sv, u"source"sv,
    u"split"sv, u"ss"sv, u"ssh"sv, u"ssh-keygen"sv, u"ssh-add"sv, u"stat"sv, u"strace"sv, u"strings"sv,
    u"stty"sv, u"su"sv, u"sudo"sv, u"sum"sv, u"swapoff"sv, u"swapon"sv, u"sync"sv, u"systemctl"sv,
    u"tac"sv, u"tail"sv, u"tar"sv, u"tee"sv, u"test"sv, u"time"sv, u"times"sv, u"tmux"sv, u"top"sv,
    u"touch"sv, u"tr"sv, u"traceroute"sv, u"trap"sv, u"true"sv, u"truncate"sv, u"tsort"sv, u"tty"sv,
    u"type"sv, u"typeset"sv, u"ulimit"sv, u"umask"sv, u"umount"sv, u"unalias"sv, u"uname"sv,
    u"unexpand"sv, u"uniq"sv, u"unlink"sv, u"unset"sv, u"unzip"sv, u"uptime"sv, u"useradd"sv,
    u"userdel"sv, u"usermod"sv, u"users"sv, u"uudecode"sv, u"uuencode"sv, u"vdir"sv, u"vi"sv, u"vim"sv,
    u"vmstat"sv, u"w"sv, u"wait"sv, u"watch"sv, u"wc"sv, u"wget"sv, u"which"sv, u"who"sv, u"whoami"sv,
    u"xargs"sv, u"xxd"sv, u"xz"sv, u"yes"sv, u"yum"sv, u"zcat"sv, u"zip"sv, u"zless"sv,
};

constexpr std::u16string_view kWindowsNames[] = {
    // Command prompt and its utilities
    u"attrib"sv, u"certutil"sv, u"chkdsk"sv, u"cls"sv, u"cmd"sv, u"color"sv, u"copy"sv, u"date"sv,
    u"del"sv, u"dir"sv, u"diskpart"sv, u"echo"sv, u"exit"sv, u"explorer"sv, u"find"sv, u"findstr"sv,
    u"for"sv, u"format"sv, u"fsutil"sv, u"ftype"sv, u"getmac"sv, u"gpupdate"sv, u"help"sv, u"hostname"sv,
    u"icacls"sv, u"if"sv, u"ipconfig"sv, u"label"sv, u"md"sv, u"mkdir"sv, u"mklink"sv, u"mode"sv,
    u"more"sv, u"mountvol"sv, u"move"sv, u"msiexec"sv, u"net"sv, u"netstat"sv, u"nslookup"sv, u"path"sv,
    u"pause"sv, u"ping"sv, u"popd"sv, u"powershell"sv, u"print"sv, u"prompt"sv, u"pushd"sv, u"rd"sv,
    u"reg"sv, u"ren"sv, u"rmdir"sv, u"robocopy"sv, u"route"sv, u"sc"sv, u"schtasks"sv, u"set"sv,
    u"sfc"sv, u"shutdown"sv, u"sort"sv, u"start"sv, u"subst"sv, u"systeminfo"sv, u"takeown"sv,
    u"taskkill"sv, u"tasklist"sv, u"time"sv, u"title"sv, u"tracert"sv, u"tree"sv, u"type"sv, u"ver"sv,
    u"verify"sv, u"vol"sv, u"where"sv, u"whoami"sv, u"wmic"sv, u"xcopy"sv,
    // PowerShell cmdlets and their aliases
    u"Get-ChildItem"sv, u"gci"sv, u"ls"sv, u"Get-Command"sv, u"gcm"sv, u"Get-Process"sv, u"gps"sv,
    u"ps"sv, u"Get-Service"sv, u"gsv"sv, u"Get-Content"sv, u"gc"sv, u"cat"sv, u"Set-Content"sv, u"sc"sv,
    u"Get-Location"sv, u"gl"sv, u"pwd"sv, u"Set-Location"sv, u"sl"sv, u"cd"sv, u"New-Item"sv, u"ni"sv,
    u"Remove-Item"sv, u"ri"sv, u"rm"sv, u"Copy-Item"sv, u"cp"sv, u"Move-Item"sv, u"mi"sv, u"mv"sv,
    u"Rename-Item"sv, u"rni"sv, u"ren"sv, u"Get-Help"sv, u"help"sv, u"Get-Date"sv, u"Write-Output"sv,
    u"echo"sv, u"Select-String"sv, u"sls"sv, u"grep"sv, u"Where-Object"sv, u"where"sv,
    u"ForEach-Object"sv, u"foreach"sv, u"Sort-Object"sv, u"sort"sv, u"Measure-Object"sv,
    u"Group-Object"sv, u"group"sv, u"Select-Object"sv, u"select"sv, u"Import-Module"sv, u"ipmo"sv,
    u"Export-Csv"sv, u"epcsv"sv, u"Import-Csv"sv, u"ipcsv"sv, u"ConvertTo-Json"sv, u"ConvertFrom-Json"sv,
    u"Out-File"sv, u"Invoke-WebRequest"sv, u"iwr"sv, u"curl"sv, u"wget"sv, u"Invoke-Command"sv, u"icm"sv,
    u"Install-Module"sv, u"Update-Module"sv, u"Find-Module"sv, u"Uninstall-Module"sv,
};

// "kubectl" and "tcpdump" are in neither list above, so no built-in candidate
// ever gets their weight; they stay for callers that weigh other names.
constexpr std::u16string_view kPopularNames[] = {
    u"git"sv, u"screen"sv, u"tmux"sv, u"docker"sv, u"kubectl"sv, u"vim"sv, u"ssh"sv, u"scp"sv,
    u"systemctl"sv, u"journalctl"sv, u"top"sv, u"htop"sv, u"grep"sv, u"find"sv, u"tar"sv, u"curl"sv,
    u"wget"sv, u"chmod"sv, u"chown"sv, u"tail"sv, u"less"sv, u"cat"sv, u"ls"sv, u"cd"sv, u"pwd"sv,
    u"df"sv, u"du"sv, u"free"sv, u"ps"sv, u"kill"sv, u"netstat"sv, u"ss"sv, u"ping"sv, u"apt"sv,
    u"yum"sv, u"crontab"sv, u"nginx"sv, u"tcpdump"sv, u"rsync"sv, u"lsof"sv, u"make"sv, u"gcc"sv,
    u"python3"sv, u"pip"sv, u"node"sv, u"npm"sv, u"clear"sv, u"history"sv, u"ifconfig"sv, u"ip"sv,
    u"traceroute"sv,
};

template <std::size_t N>
QStringList literalList(const std::u16string_view (&names)[N])
{
    QStringList list;
    list.reserve(qsizetype(N));
    for (std::u16string_view name : names)
        list.append(rawLiteral(name));
    return list;
}

// The lists are fixed, so each is made once and handed out as an implicitly
// shared copy; a completion rebuild then costs no allocation here.
const QStringList &linuxList()
{
    static const QStringList list = literalList(kLinuxNames);
    return list;
}

const QStringList &windowsList()
{
    static const QStringList list = literalList(kWindowsNames);
    return list;
}

const QStringList &mergedList()
{
    static const QStringList list = [] {
        QStringList merged;
        QSet<QString> seen;
        for (const QStringList *part : {&windowsList(), &linuxList()}) {
            for (const QString &name : *part) {
                const QString lower = name.toLower();
                if (seen.contains(lower))
                    continue;
                seen.insert(lower);
                merged.append(name);
            }
        }
        return merged;
    }();
    return list;
}

} // namespace

QStringList builtinLinuxCommands()
{
    return linuxList();
}

QStringList builtinWindowsCommands()
{
    return windowsList();
}

QStringList builtinCommandsFor(const QString &osKey)
{
    const QString key = osKey.toLower().trimmed();
    if (key == QLatin1String("windows") || key == QLatin1String("cmd") || key == QLatin1String("powershell"))
        return windowsList();
    if (key == QLatin1String("linux") || key == QLatin1String("unix") || key == QLatin1String("macos"))
        return linuxList();
    return mergedList();
}

double builtinWeight(const QString &name)
{
    static const QSet<QString> popular = [] {
        QSet<QString> set;
        for (std::u16string_view n : kPopularNames)
            set.insert(rawLiteral(n));
        return set;
    }();
    return popular.contains(name) ? 3.5 : 2.0;
}

QStringList scanPathExecutables(const QString &pathValue)
{
    QStringList names;
    QSet<QString> seen;
    for (const QString &part : pathValue.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString dirPath = part.trimmed();
        if (dirPath.isEmpty())
            continue;
        const QDir dir(dirPath);
        if (!dir.exists())
            continue;
        // Files follows links to their targets, so a link to a program counts,
        // while dangling links and links to directories do not. A program
        // whose name starts with a dot runs like any other.
        const QFileInfoList files =
            dir.entryInfoList(QDir::Files | QDir::Executable | QDir::Hidden, QDir::Unsorted);
        for (const QFileInfo &info : files) {
            const QString name = info.fileName();
            if (name.isEmpty() || seen.contains(name))
                continue;
            seen.insert(name);
            names.append(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

QStringList pathExecutables()
{
    // Read once per process: later changes of PATH or of its folders are not seen.
    static const QStringList cache = scanPathExecutables(qEnvironmentVariable("PATH"));
    return cache;
}
