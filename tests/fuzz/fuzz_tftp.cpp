// Fuzz target: a datagram on the TFTP server's listening socket. A request
// that is served must name a file inside the served folder, by a name that
// came from the request and that carries nothing a log or a terminal would
// act on.
#include "transfer/tftp/tftpserver.h"

#include <QDir>
#include <QFileInfo>

#include <cstdint>

#include "fuzzcheck.h" // last: its check() would clash with Qt's headers

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    const TftpServer::Request r = TftpServer::parseRequest(datagram);
    if (r.kind != TftpServer::Request::Read && r.kind != TftpServer::Request::Write)
        return 0;
    const QString &name = r.name;
    check(!name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\\'));
    check(r.rawName.endsWith(name.toUtf8()) && quint8(datagram[1]) == (r.kind == TftpServer::Request::Read ? 1 : 2));
    check(std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() != 0x7f; }));
    const QString path = TftpServer::servedPath("/srv/served", name);
    check(QDir::cleanPath(path) == path && QFileInfo(path).dir().path() == "/srv/served" && QFileInfo(path).isAbsolute());
    return 0;
}
