// A datagram on the TFTP server's socket: a served request names a file inside the served folder,
// by a name from the request that carries nothing a log or a terminal would act on.
#include "transfer/tftp/tftpserver.h"

#include <QDir>
#include <QFileInfo>

#include "fuzzcheck.h"

FUZZ_TARGET(datagram)
{
    const TftpServer::Request r = TftpServer::parseRequest(datagram);
    if (r.kind != TftpServer::Request::Read && r.kind != TftpServer::Request::Write)
        return;
    const QString &name = r.name;
    check(!name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\\'));
    check(r.rawName.endsWith(name.toUtf8()) && quint8(datagram[1]) == (r.kind == TftpServer::Request::Read ? 1 : 2));
    check(std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() != 0x7f; }));
    const QString path = TftpServer::servedPath("/srv/served", name);
    check(QDir::cleanPath(path) == path && QFileInfo(path).dir().path() == "/srv/served" && QFileInfo(path).isAbsolute());
}
