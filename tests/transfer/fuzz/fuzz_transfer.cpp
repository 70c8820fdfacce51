// Fuzz target: hostile bytes from a peer into one in-band transfer (HV_FUZZ_PROTOCOL:
// "xmodem", "zmodem" or "kermit"), receiving or sending, with ticks in between. After
// every input nothing outside the receive folder may have changed, and the transfer
// must have ended exactly once. Input: the first byte picks the direction (bit 0) and
// the variant (bits 1 and 2, XMODEM only); then records: a length byte N and N bytes
// to feed, N = 0 letting the next byte's count of seconds (1 to 64) pass.
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

const QByteArray kProtocol = HV_FUZZ_PROTOCOL;

// The receive folder sits three levels down, so that a name climbing out
// of it lands inside the tree that is checked.
struct Sandbox {
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/fuzz_transfer-XXXXXX")};
    QString receive = root.filePath(QStringLiteral("a/b/receive"));
    QStringList sendFiles{root.filePath(QStringLiteral("a/b/data.bin")), root.filePath(QStringLiteral("a/empty"))};
    QByteArray before;

    Sandbox()
    {
        QFile data(sendFiles[0]), empty(sendFiles[1]);
        if (!root.isValid() || !QDir().mkpath(receive) || !data.open(QIODevice::WriteOnly)
            || data.write(QByteArray(3000, 'd')) != 3000 || !empty.open(QIODevice::WriteOnly))
            std::abort();
        data.close();
        before = outsideReceive();
    }

    // Every entry outside the receive folder with its size and content.
    QByteArray outsideReceive() const
    {
        QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        QStringList entries;
        while (it.hasNext()) {
            const QString path = it.next();
            if (path == receive || path.startsWith(receive + QLatin1Char('/')))
                continue;
            QFile f(path);
            entries << QStringLiteral("%1 %2 ").arg(path).arg(it.fileInfo().size())
                           + QString::fromLatin1((f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray()).toHex());
        }
        entries.sort();
        return entries.join(QLatin1Char('\n')).toUtf8();
    }
};

std::unique_ptr<InbandTransfer> makeTransfer()
{
    if (kProtocol == "zmodem")
        return std::make_unique<ZmodemTransfer>();
    return kProtocol == "kermit" ? std::unique_ptr<InbandTransfer>(new KermitTransfer) : std::make_unique<XmodemTransfer>();
}

void runOne(const uint8_t *data, size_t size)
{
    static const bool app = [] {
        static int argc = 1;
        static char name[] = "fuzz_transfer";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv); // lives until the process ends
        return true;
    }();
    Q_UNUSED(app)
    // Destroyed at exit, which takes its folder with it.
    static Sandbox sandbox;
    Sandbox *const box = &sandbox;
    if (size < 1)
        return;
    const bool send = data[0] & 1;
    const int variant = kProtocol == "xmodem" ? (data[0] >> 1) & 3 : 0;
    const std::unique_ptr<InbandTransfer> t = makeTransfer();
    t->setManualClock(true);
    int results = 0;
    QObject::connect(t.get(), &InbandTransfer::resultReady, [&] { ++results; });
    const TransferSendFn sink = [](const QByteArray &) {};
    if (send)
        t->startSend(sink, QStringLiteral("fuzz"), box->sendFiles, variant);
    else // plain XMODEM carries no name: the receive target is a file
        t->startReceive(sink, QStringLiteral("fuzz"),
                        box->receive + (kProtocol == "xmodem" && variant != XmodemTransfer::Ymodem ? "/x.bin" : ""),
                        variant);
    for (size_t at = 1; at < size && t->isActive();) {
        if (const size_t length = data[at++]) {
            const size_t take = std::min(length, size - at);
            t->feed(QByteArray(reinterpret_cast<const char *>(data + at), int(take)));
            at += take;
        } else {
            for (int seconds = at < size ? 1 + (data[at++] & 63) : 1; seconds > 0 && t->isActive(); --seconds)
                t->tick();
        }
    }
    t->cancel();
    if (t->isActive() || results != 1 || box->outsideReceive() != box->before) {
        std::fprintf(stderr, results == 1 && !t->isActive() ? "a file outside the receive folder changed\n"
                                                           : "the transfer did not end exactly once\n");
        std::abort();
    }
    QDir(box->receive).removeRecursively();
    QDir().mkpath(box->receive);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    runOne(data, size);
    return 0;
}
