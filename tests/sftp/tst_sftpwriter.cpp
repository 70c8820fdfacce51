// The upload writer over channels of the test's own. They answer its write
// calls as libssh2 does: requests of up to 30000 bytes, sent as far as the
// channel's window and the server's largest packet allow, a request sent in
// part holding back the ones behind it, one answer taken per call, and what
// has arrived read by the next call of any channel. The server behind them
// sets when room and answers come back, on a clock the test advances: the
// timings that real servers show only now and then are played every run,
// the same on any machine.

#include "sftp/sftpwriter.h"

#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>

#include <deque>
#include <map>

namespace {

// The worker's wait ends after this with nothing come.
constexpr qint64 kWaitUs = 100000;

struct Server {
    qint64 grant;         // the channel's window
    qint64 packet;        // the largest data packet it takes
    qint64 oneWayUs;
    qint64 answerUs;      // from a whole request to its answer going out
    bool roomWithAnswers; // room given back just before each answer; else as half the grant comes
};

class Link : public SftpWriteCalls
{
public:
    Link(const Server &server, int channels, QByteArray *remote)
        : m_server(server)
        , m_channels(size_t(channels))
        , m_remote(remote)
    {
        for (Channel &c : m_channels)
            c.window = server.grant;
    }

    LIBSSH2_SFTP *sftp(int i) { return reinterpret_cast<LIBSSH2_SFTP *>(&m_channels[size_t(i)]); }
    LIBSSH2_SFTP_HANDLE *handle(int i) { return reinterpret_cast<LIBSSH2_SFTP_HANDLE *>(&m_channels[size_t(i)]); }
    qint64 now() const { return m_now; }
    // Calls with nothing come and no time gone between them: a writer that
    // spins rather than waits.
    bool spun() const { return m_spun; }
    bool keepRunning() const { return !m_spun && m_now < 600 * qint64(1000000); }

    // The worker's wait on the socket: at once when something has come and
    // is not yet read, else until the next packet comes or the wait times out.
    void wait()
    {
        m_callsNow = 0;
        if (!m_inbox.empty())
            return;
        const qint64 until = m_now + kWaitUs;
        while (!m_events.empty() && m_events.begin()->first <= until) {
            const auto it = m_events.begin();
            const Event e = it->second;
            m_now = it->first;
            m_events.erase(it);
            if (!e.toServer) {
                m_inbox.push_back(e);
                return;
            }
            serverTakes(e);
        }
        m_now = until;
    }

    ssize_t write(LIBSSH2_SFTP_HANDLE *handle, const char *data, size_t count) override
    {
        if (++m_callsNow > 10000) {
            m_spun = true;
            return LIBSSH2_ERROR_EAGAIN;
        }
        readInbox();
        Channel &c = *reinterpret_cast<Channel *>(handle);
        qint64 already = 0;
        for (const Chunk &k : c.chunks)
            already += k.payload;
        for (qint64 at = already; at < qint64(count); at += kRequest) {
            const qint64 n = qMin<qint64>(kRequest, qint64(count) - at);
            const quint32 id = m_nextId++;
            c.chunks.push_back({id, n, 25 + kHandleLen + n, 0, false});
            m_requests[id] = {c.offsetSent, QByteArray(data + at, n), 0};
            c.offsetSent += n;
        }
        for (Chunk &k : c.chunks) {
            if (k.sent == k.length)
                continue;
            if (c.window <= 0)
                return LIBSSH2_ERROR_EAGAIN;
            const qint64 n = qMin(qMin(k.length - k.sent, qint64(32700)), qMin(c.window, m_server.packet));
            c.window -= n;
            k.sent += n;
            m_events.insert({m_now + m_server.oneWayUs, Event{true, &c, k.id, n}});
            if (k.sent < k.length)
                break;
        }
        if (c.chunks.empty() || c.chunks.front().sent < c.chunks.front().length)
            return 0;
        if (!c.chunks.front().answered)
            return LIBSSH2_ERROR_EAGAIN;
        const qint64 acked = c.chunks.front().payload;
        m_requests.erase(c.chunks.front().id);
        c.chunks.pop_front();
        return ssize_t(acked);
    }
    void seek(LIBSSH2_SFTP_HANDLE *handle, qint64 at) override
    {
        reinterpret_cast<Channel *>(handle)->offsetSent = at;
    }
    qint64 window(LIBSSH2_SFTP *sftp) override { return reinterpret_cast<Channel *>(sftp)->window; }
    bool gone(LIBSSH2_SFTP *) override { return false; }
    int blockDirections(LIBSSH2_SESSION *) override { return LIBSSH2_SESSION_BLOCK_INBOUND; }
    qint64 nowUs() override { return m_now; }

private:
    static constexpr qint64 kRequest = 30000;
    static constexpr qint64 kHandleLen = 4;
    struct Chunk {
        quint32 id;
        qint64 payload;
        qint64 length; // of the whole request
        qint64 sent;
        bool answered;
    };
    struct Channel {
        qint64 window = 0;
        qint64 offsetSent = 0;
        qint64 consumed = 0; // taken by the server and not yet given back as room
        std::deque<Chunk> chunks;
    };
    struct Request {
        qint64 offset;
        QByteArray payload;
        qint64 received;
    };
    // Data to the server, or room or an answer back (bytes 0).
    struct Event {
        bool toServer;
        Channel *channel;
        quint32 id;
        qint64 bytes;
    };

    void serverTakes(const Event &e)
    {
        Channel &c = *e.channel;
        Request &r = m_requests[e.id];
        r.received += e.bytes;
        c.consumed += e.bytes;
        const qint64 back = m_now + m_server.oneWayUs;
        if (!m_server.roomWithAnswers && c.consumed >= m_server.grant / 2) {
            m_events.insert({back, Event{false, &c, 0, c.consumed}});
            c.consumed = 0;
        }
        if (r.received < 25 + kHandleLen + r.payload.size())
            return;
        if (m_remote->size() < r.offset + r.payload.size())
            m_remote->resize(r.offset + r.payload.size());
        m_remote->replace(r.offset, r.payload.size(), r.payload);
        if (m_server.roomWithAnswers) {
            m_events.insert({back + m_server.answerUs, Event{false, &c, 0, c.consumed}});
            c.consumed = 0;
        }
        m_events.insert({back + m_server.answerUs, Event{false, &c, e.id, 0}});
    }

    void readInbox()
    {
        for (const Event &e : m_inbox) {
            if (e.bytes > 0) {
                e.channel->window += e.bytes;
                continue;
            }
            for (Chunk &k : e.channel->chunks)
                k.answered = k.answered || k.id == e.id;
        }
        m_inbox.clear();
    }

    Server m_server;
    std::deque<Channel> m_channels;
    QByteArray *m_remote;
    std::map<quint32, Request> m_requests;
    std::multimap<qint64, Event> m_events;
    std::deque<Event> m_inbox;
    qint64 m_now = 0;
    quint32 m_nextId = 1;
    int m_callsNow = 0;
    bool m_spun = false;
};

} // namespace

Q_DECLARE_METATYPE(Server)

class TestSftpWriter : public QObject
{
    Q_OBJECT

private slots:
    // Each row's floor is what its channels carry when every grant of room
    // is filled as soon as the writer can know of it, less a margin for the
    // ends of the file.
    void keepsTheChannelsFull_data()
    {
        QTest::addColumn<Server>("server");
        QTest::addColumn<int>("parts");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("floor"); // bytes a second, simulated

        // Room as the data comes and the answer 40 ms after: the room is
        // read by a call that had nothing more to send, and a writer that
        // then waits for the next packet loses what the answer is late.
        const Server slowAnswers{24 * 1024, 32768, 10000, 40000, false};
        QTest::newRow("narrow, room before answers") << slowAnswers << 1 << qint64(1 << 20) << qint64(1000000);
        // Room only with each answer, 25 ms each way: a request handed
        // more than the room takes waits a round trip for its last bytes.
        const Server roomWithAnswers{24 * 1024, 32768, 25000, 1000, true};
        QTest::newRow("narrow, room with answers, two parts") << roomWithAnswers << 2 << qint64(2 << 20) << qint64(850000);
        // Packets smaller than a request: a file of one request goes in
        // two packets, and the room for the second is there at once.
        const Server smallPackets{2 * 1024 * 1024, 16384, 25000, 1000, false};
        QTest::newRow("small packets, one request") << smallPackets << 1 << qint64(28 * 1024) << qint64(400000);
    }
    void keepsTheChannelsFull()
    {
        QFETCH(Server, server);
        QFETCH(int, parts);
        QFETCH(qint64, size);
        QFETCH(qint64, floor);

        QByteArray content(size, Qt::Uninitialized);
        QRandomGenerator gen(size);
        gen.fillRange(reinterpret_cast<quint32 *>(content.data()), content.size() / 4);
        QTemporaryFile file;
        QVERIFY(file.open());
        QCOMPARE(file.write(content), size);
        QVERIFY(file.flush());
        SftpLocalFile local;
        local.file.setFileName(file.fileName());
        QVERIFY(local.file.open(QIODevice::ReadOnly));
        local.size = size;

        QByteArray remote;
        Link link(server, parts, &remote);
        SftpWriter writer(
            nullptr, local, [&] { link.wait(); }, [&] { return link.keepRunning(); },
            [] { return QStringLiteral("refused"); }, &link);
        for (int i = 0; i < parts; ++i)
            writer.add(link.sftp(i), link.handle(i), size * i / parts);
        const SftpWriter::Outcome outcome = writer.run(nullptr);
        QVERIFY2(!link.spun(), "the writer called again and again with nothing come");
        QCOMPARE(outcome, SftpWriter::Written);
        QCOMPARE(writer.acked(), size);
        QVERIFY(remote == content);
        const qint64 rate = size * 1000000 / qMax<qint64>(1, link.now());
        qInfo().noquote() << QStringLiteral("%1 ms simulated, %2 B/s").arg(link.now() / 1000).arg(rate);
        QVERIFY2(rate >= floor, qPrintable(QStringLiteral("%1 B/s").arg(rate)));
    }
};

QTEST_GUILESS_MAIN(TestSftpWriter)
#include "tst_sftpwriter.moc"
