// Fuzz target: hostile bytes from a peer into one in-band transfer object
// (HV_FUZZ_PROTOCOL: "xmodem", "zmodem" or "kermit"), receiving or sending,
// through the transfer interface, with ticks in between. After every input
// nothing outside the receive folder may have changed, and the transfer
// must have ended exactly once.
//
// Input: the first byte picks the direction (bit 0) and the variant (bits 1
// and 2, XMODEM only). Then records: a length byte N and N bytes to feed;
// N = 0 lets the next byte's count of seconds (1 to 64) pass.
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The receive folder sits three levels down, so that a name climbing out
// of it lands inside the tree that is checked.
struct Sandbox {
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/fuzz_transfer-XXXXXX")};
    QString receive = root.filePath(QStringLiteral("a/b/receive"));
    QStringList sendFiles;
    QByteArray before;

    Sandbox()
    {
        if (!root.isValid() || !QDir().mkpath(receive))
            std::abort();
        for (const auto &[name, size] : {std::pair<const char *, int>{"a/b/data.bin", 3000}, {"a/empty", 0}}) {
            QFile f(root.filePath(QLatin1String(name)));
            QByteArray bytes(size, Qt::Uninitialized);
            for (int i = 0; i < size; ++i)
                bytes[i] = char(i * 7 + 3);
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != size)
                std::abort();
            sendFiles << f.fileName();
        }
        before = outsideReceive();
    }

    // Every entry outside the receive folder with its size and content hash.
    QByteArray outsideReceive() const
    {
        QCryptographicHash all(QCryptographicHash::Sha256);
        QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        QStringList entries;
        while (it.hasNext()) {
            const QString path = it.next();
            if (path == receive || path.startsWith(receive + QLatin1Char('/')))
                continue;
            QFile f(path);
            const QByteArray hash = f.open(QIODevice::ReadOnly)
                                        ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256)
                                        : QByteArray();
            entries << path + QLatin1Char(' ') + QString::number(it.fileInfo().size()) + QLatin1Char(' ')
                           + QString::fromLatin1(hash.toHex());
        }
        entries.sort();
        all.addData(entries.join(QLatin1Char('\n')).toUtf8());
        return all.result();
    }

    void emptyReceive() const
    {
        QDir dir(receive);
        dir.removeRecursively();
        QDir().mkpath(receive);
    }
};

std::unique_ptr<InbandTransfer> makeTransfer()
{
    const QByteArray protocol = HV_FUZZ_PROTOCOL;
    if (protocol == "zmodem")
        return std::make_unique<ZmodemTransfer>();
    if (protocol == "kermit")
        return std::make_unique<KermitTransfer>();
    return std::make_unique<XmodemTransfer>();
}

void runOne(const uint8_t *data, size_t size)
{
    static Sandbox *box = [] {
        static int argc = 1;
        static char name[] = "fuzz_transfer";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv); // lives until the process ends
        return new Sandbox;
    }();
    if (size < 1)
        return;
    const bool send = data[0] & 1;
    const int variant = QByteArray(HV_FUZZ_PROTOCOL) == "xmodem" ? (data[0] >> 1) & 3 : 0;

    const std::unique_ptr<InbandTransfer> t = makeTransfer();
    t->setManualClock(true);
    int results = 0;
    QObject::connect(t.get(), &InbandTransfer::resultReady, [&] { ++results; });
    const TransferSendFn sink = [](const QByteArray &) {};
    if (send) {
        t->startSend(sink, QStringLiteral("fuzz"), box->sendFiles, variant);
    } else {
        // Plain XMODEM carries no name: the receive target is a file.
        const bool oneFile = QByteArray(HV_FUZZ_PROTOCOL) == "xmodem" && variant != XmodemTransfer::Ymodem;
        t->startReceive(sink, QStringLiteral("fuzz"),
                        oneFile ? box->receive + QStringLiteral("/x.bin") : box->receive, variant);
    }
    for (size_t at = 1; at < size && t->isActive();) {
        const size_t length = data[at++];
        if (length == 0) {
            const int seconds = at < size ? 1 + (data[at++] & 63) : 1;
            for (int i = 0; i < seconds && t->isActive(); ++i)
                t->tick();
            continue;
        }
        const size_t take = std::min(length, size - at);
        t->feed(QByteArray(reinterpret_cast<const char *>(data + at), int(take)));
        at += take;
    }
    t->cancel();
    if (t->isActive() || results != 1)
        std::abort();
    if (box->outsideReceive() != box->before) {
        std::fprintf(stderr, "a file outside the receive folder changed\n");
        std::abort();
    }
    box->emptyReceive();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    runOne(data, size);
    return 0;
}

