// Fuzz target: a datagram on the TFTP server's listening socket. A request
// that is served must name a file inside the served folder, by a name that
// came from the request and that carries nothing a log or a terminal would
// act on.
#include "transfer/tftp/tftpserver.h"

#include <QDir>
#include <QFileInfo>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    const TftpServer::Request r = TftpServer::parseRequest(datagram);
    if (r.kind != TftpServer::Request::Read && r.kind != TftpServer::Request::Write)
        return 0;
    const QString &name = r.name;
    bool ok = !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && r.rawName.endsWith(name.toUtf8()) && quint8(datagram[1]) == (r.kind == TftpServer::Request::Read ? 1 : 2);
    for (const QChar c : name)
        ok = ok && c.unicode() >= 0x20 && c.unicode() != 0x7f;
    const QString root = QStringLiteral("/srv/served");
    const QString path = TftpServer::servedPath(root, name);
    ok = ok && QDir::cleanPath(path) == path && QFileInfo(path).dir().path() == root && QFileInfo(path).isAbsolute();
    if (!ok)
        std::abort();
    return 0;
}
