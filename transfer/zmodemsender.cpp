#include "transfer/zmodemtransfer.h"

#include "core/languagemanager.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <limits>

// The sending side: the file offers and the data windows.

using namespace Zmodem;

namespace {

// A quarter of a KiB: each subpacket that asks for nothing ends its frame
// (see kLineKill), and a shell's line editor takes a short line back far
// sooner than a long one.
constexpr int kSubpacketSize = 256;
// A window goes out a few subpackets at a time, so that what the receiver
// says is read between the pieces, each piece only while the connection
// holds less than a quarter of what may run ahead (at least kLowWater, at
// most kQueueMost): a connection that writes from a thread of its own (SSH)
// empties what it holds long before our next look, and each time it is a
// moment late a lower mark costs a wait, while a higher one puts more behind
// a receiver that has gone. What it holds at a ZRPOS or when the run ends is
// taken back, never written.
constexpr int kPieceSubpackets = 16;
constexpr qint64 kLowWater = 64 * 1024;
constexpr qint64 kQueueMost = 1 << 20;
constexpr int kBacklogWaitMs = 2;
// The receiver confirms what it has every so often (ZCRCQ), and no more
// goes out past its last confirmation than the link carried in about a
// round trip or two: that much of the file at most lands in the shell of a
// receiver that died unheard, and the stop that follows reaches it soon. The
// bound is small on a pty, where a shell's line editor takes seconds to work
// through 12 KiB of it (the cost grows with the square of the line), and
// follows the round trip and the rate that the confirmations show, up to
// what a long round trip at a fast link needs. Nothing is assumed before
// they show it: a slow link with a deep buffer (an SSH channel) would take
// whatever we assumed, and hold it for minutes before our stop. Once they
// show a slow link the bound may fall below where it started: a shell in a
// UTF-8 locale redraws its line for each byte that lands in it, and over a
// slow link those redraws take seconds a KiB to come back.
constexpr quint32 kAheadStart = 12 * 1024;
constexpr quint32 kAheadLeast = 4 * 1024;
// Three quarters of a MiB at most, whatever the link: a receiver that dies
// leaves its shell all of it to read, and even in lines taken back one by
// one an interactive bash reads random data at 120-220 KiB/s, and at half
// that on a busy machine. A MiB where the frames go as pastes (see
// kPasteOpen), which bash reads at 650 KiB/s on a quiet machine, but much
// slower on a busy one: behind eight busy processors it took 10 s to read a
// MiB and a half. A fast link loses by it (lrzsz's sz, with an SSH
// channel's whole window out, goes faster still), and a shell back within
// seconds is worth more.
constexpr quint32 kAheadMost = 768 << 10;
constexpr quint32 kAheadMostPasted = 1 << 20;
constexpr quint32 kAckEveryLeast = 2 * 1024;
constexpr quint32 kAckEveryMost = 64 * 1024;
// Until the link shows itself full (a ZACK comes late, or the rate stops
// growing) each confirmed byte lets kGrowth more go; the bound holds twice
// what the ZACKs show the link carries in a round trip, which keeps it busy
// while a ZACK is on its way, and is what a link that slows now holds of
// ours. More goes only where the first ZACKs show the link faster than
// anything they can measure (they came back a bare round trip late, all
// together) it grows as it would, by what they confirm: ZACKs that come
// together count as one. Whatever they show, it no more than doubles a
// round trip.
constexpr int kGrowth = 2;
constexpr int kGainSteady = 2;
constexpr quint32 kGrowthPerRound = 2;
constexpr int kFlatSamplesToSteady = 3;
constexpr qint64 kQueuedUs = 1000; // a late ZACK is this much later at least
// The best rates of the last two rounds count: a round trip each, or this
// much where the round trip is shorter (a pty).
constexpr qint64 kRoundLeastUs = 2'000;
// The beat that tells whether the event loop has been held up: a read taken
// when it is this late, or before it has come on time again, may have
// waited for us.
constexpr int kBeatMs = 10;
constexpr qint64 kHeldUpUs = 3'000;
// A ZRPOS for where our resend already starts, with nothing confirmed since,
// is the receiver still reading the stream it refused: within this (and a few
// round trips for that stream to drain), it draws no third start.
constexpr qint64 kResendGraceUs = 500'000;
// Every subpacket that asks for nothing ends its frame, and a Ctrl+U goes
// before the header that goes on at the same offset: a receiver in raw mode
// skips it as it looks for that header, while should the receiver die,
// what is left of the stream reaches its shell's line editor (or a cooked
// tty) as lines of at most two subpackets that it takes back one by one. A
// line that only grew would cost the editor ever more per byte (a MiB of
// it: minutes); lines this short go at 120-150 KB/s of random data (lines
// of a KiB: 70-100). No ZACK is asked for by it, so the stream does not
// wait.
constexpr char kLineKill = '\x15';
// Where the host's line editor takes a bracketed paste (it asked for the
// mode at its prompt), each frame goes in a paste of its own (kPasteOpen,
// kPasteClose), the Ctrl+U between two pastes. Should the receiver die, the editor takes a frame in
// as one insertion, where it would work through it a key at a time: bash
// reads such a tail three times as fast (random data: 650 KB/s, against
// 220), and none of it is a key. A receiver in raw mode skips the marks as
// it looks for the next header.
// The editor reads what is left of the stream from wherever the receiver
// died, so the first mark it meets may end a paste it never saw begin; and
// an editor that takes no paste after all (a login from that shell to an
// older host) takes every mark for an Esc and keys. A vi-mode editor is left
// in command mode by that Esc, where our data would be commands: an "S"
// follows every mark, which there empties the line and goes back to
// inserting, and is a letter anywhere else (taken back by the Ctrl+U, or
// pasted).

constexpr int kHeaderRoom = 48;

} // namespace

void ZmodemTransfer::offerNextFile()
{
    if (!openNextSendFile())
        return;
    if (m_fileIndex >= m_files.size()) {
        sendHexHeader(ZFIN, position(0));
        m_finTail.clear();
        setState(TxFinSent);
        return;
    }
    m_resumePos = 0;
    m_lastPercent = -1;
    m_offerWords.clear();
    const QFileInfo info(m_sendFile.fileName());
    const qint64 size = m_sendFile.size();
    QByteArray fileInfo = info.fileName().toUtf8();
    fileInfo.append('\0');
    fileInfo.append(sizeTimeMode(m_sendFile.fileName(), size));
    sendBinaryHeader(ZFILE, QByteArray("\x00\x00\x00\x01", 4));
    markOffered();
    const QByteArray subpacket = dataSubpacket(fileInfo, ZCRCW);
    send(subpacket);
    // A resend must carry the file information too, or the receiver waits
    // for it forever.
    m_lastHeader.append(subpacket);
    setState(TxFileOffered);
    emitStatus(LanguageManager::tr("发送文件头：%1（%2 字节）").arg(info.fileName(), QString::number(size)));
}

void ZmodemTransfer::sendDataBurst()
{
    m_ackedPos = quint32(m_sendFile.pos());
    m_lastHeader = binaryHeader(ZDATA, position(m_ackedPos));
    send(m_pasteFrames ? kPasteOpen + m_lastHeader : m_lastHeader);
    setState(TxData);
    // One stream to the end of the file: the ZACKs asked for inside it pace
    // it, and a ZRPOS starts another.
    m_windowLeft = std::numeric_limits<qint64>::max();
    m_ackPoints.clear();
    if (m_ahead == 0)
        m_ahead = kAheadStart;
    startLinkClock();
    m_markUs = m_roundUs = m_burstUs = linkUs();
    m_markPos = m_burstPos = m_ackedPos;
    m_firstAckUs = -1;
    m_growRoundUs = m_burstUs;
    m_growBase = m_ahead;
    writeWindow();
}

quint32 ZmodemTransfer::aheadMost() const
{
    return m_pasteFrames ? kAheadMostPasted : kAheadMost;
}

void ZmodemTransfer::learnRoundTrip()
{
    const qint64 rtt = qMax<qint64>(1, linkUs() - m_offeredUs);
    m_minRttUs = m_minRttUs > 0 ? qMin(m_minRttUs, rtt) : rtt;
    // An answer that may have waited for us came, for telling how late the
    // data comes back, when it could have first: a bare round trip taken
    // too long would pass a slow link off as a fast one. (Taken too short
    // for the round trip itself, it would stay so, and the window small.)
    const qint64 bare = qMax<qint64>(1, rtt - m_readWaitUs);
    m_bareRttUs = m_bareRttUs > 0 ? qMin(m_bareRttUs, bare) : bare;
}

void ZmodemTransfer::startLinkClock()
{
    if (m_linkStartUs < 0)
        m_linkStartUs = m_clock ? m_clock->nowUs() : machineUs();
}

void ZmodemTransfer::beat()
{
    const qint64 now = linkUs();
    // Held up since it last came on time, one beat before it was due.
    m_heldSinceUs = now - m_beatDueUs > kHeldUpUs ? m_beatDueUs - kBeatMs * 1000 : -1;
    m_beatDueUs = now + kBeatMs * 1000;
}

qint64 ZmodemTransfer::heldUpFor(qint64 now) const
{
    if (!m_beat.isActive())
        return 0;
    if (now - m_beatDueUs > kHeldUpUs)
        return now - (m_beatDueUs - kBeatMs * 1000);
    return m_heldSinceUs >= 0 ? now - m_heldSinceUs : 0;
}

void ZmodemTransfer::markOffered()
{
    startLinkClock();
    if (!m_beat.isActive()) {
        m_beatDueUs = linkUs() + kBeatMs * 1000;
        m_beat.start(kBeatMs);
    }
    // A resend's answer may be the first offer's: the round trip comes out
    // short then, never long.
    m_offeredUs = linkUs();
}

quint32 ZmodemTransfer::aheadFor(qint64 rate, qint64 rttUs, int gain) const
{
    return quint32(qBound<qint64>(kAheadLeast, gain * rate * rttUs / 1000000, aheadMost()));
}

bool ZmodemTransfer::resendOnItsWay(quint32 pos) const
{
    return m_resending && pos == m_resumePos && m_ackedPos == pos
        && linkUs() - m_burstUs < kResendGraceUs + 4 * m_minRttUs;
}

qint64 ZmodemTransfer::queueBound() const
{
    return qBound<qint64>(kLowWater, m_ahead / 4, kQueueMost);
}

bool ZmodemTransfer::mayWriteAhead() const
{
    // With no ZACK owed (the bound shrank below what went out since the last
    // one asked for) one more subpacket goes, asking for it.
    return quint32(m_sendFile.pos()) - m_ackedPos < m_ahead || m_ackPoints.empty();
}

void ZmodemTransfer::askForAck()
{
    m_ackPoints.push_back({quint32(m_sendFile.pos()), linkUs()});
    send(dataSubpacket({}, ZCRCQ));
}

quint32 ZmodemTransfer::ackSpacing() const
{
    quint32 spacing = kAckEveryLeast;
    while (spacing < kAckEveryMost && spacing * 16 <= m_ahead)
        spacing *= 2;
    return spacing;
}

void ZmodemTransfer::learnLink(quint32 pos)
{
    const qint64 now = linkUs();
    // The offer's round trip, or a shorter one of an earlier stream: known
    // before this stream's first ZACK, whose own round trip holds its data's.
    const qint64 bareUs = m_firstAckUs < 0 ? (m_bareRttUs > 0 ? qMin(m_minRttUs, m_bareRttUs) : m_minRttUs) : m_streamBareUs;
    if (m_firstAckUs < 0)
        m_streamBareUs = bareUs;
    bool queued = false; // the data waits somewhere: the link is full
    qint64 askedUs = -1; // when the subpacket that asked for this ZACK went out
    while (!m_ackPoints.empty() && m_ackPoints.front().pos - m_ackedPos <= pos - m_ackedPos) {
        if (m_ackPoints.front().pos == pos) {
            askedUs = m_ackPoints.front().sentUs;
            const qint64 rtt = qMax<qint64>(1, now - askedUs);
            // One that may have waited for us tells a round trip too long,
            // never too short: the least of them holds.
            m_minRttUs = m_minRttUs > 0 ? qMin(m_minRttUs, rtt) : rtt;
            queued = m_minRttUs > 0 && rtt > m_minRttUs * 5 / 4 + kQueuedUs;
        }
        m_ackPoints.pop_front();
    }
    // A late ZACK ends the growth, and the window never grows by it: a rate
    // guessed before may be more than the link carries.
    if (m_growing && queued)
        m_growing = false, m_ahead = qMin(m_ahead, aheadFor(m_rate, m_minRttUs, kGainSteady));
    else if (m_growing)
        m_ahead = quint32(qMin<qint64>(aheadMost(), m_ahead + qint64(kGrowth - 1) * (pos - m_ackedPos)));
    if (m_firstAckUs < 0) {
        m_firstAckUs = now;
        m_firstAckPos = pos;
        m_firstRoundBytes = quint32(m_sendFile.pos()) - m_burstPos;
    } else if (m_growing && !queued && askedUs >= 0 && askedUs < m_firstAckUs && bareUs > 0
               && pos - m_burstPos >= m_firstRoundBytes && now - m_firstAckUs < kQueuedUs) {
        openByLateness(pos, now, bareUs);
    }
    // ZACKs that waited for us came over a span we cannot tell: the next
    // rate is measured from here, not over their bytes and a short span
    // after them, which would pass them off as a fast link.
    if (m_readWaitUs > 0) {
        m_markUs = now;
        m_markPos = pos;
        return capGrowth(now);
    }
    // The rate is what the ZACKs confirm over a short span: those of data
    // that went out in one go come back as fast as the link carried it, a
    // round trip before the window could show it. Once the window holds, the
    // span is half a round trip at least: a slow line that held one ZACK back
    // hands it over with the next, a millisecond apart, and over that alone
    // the pair would pass for a fast link (seconds of it let go). The best of the
    // last round trip or two counts, so that the estimate follows a link
    // that slows as soon as its ZACKs show it; a span that lasted two round
    // trips alone (the next ZACK of a link that slowed much may be seconds
    // away) counts by itself.
    const qint64 span = now - m_markUs;
    if (m_minRttUs <= 0 || span < qMax(kRoundLeastUs, m_minRttUs))
        return capGrowth(now);
    const qint64 rate = qint64(pos - m_markPos) * 1000000 / span;
    const qint64 round = qMax(kRoundLeastUs, m_minRttUs);
    m_markUs = now;
    m_markPos = pos;
    if (span >= 2 * round || now - m_roundUs >= round) {
        m_peakBefore = span >= 2 * round ? 0 : m_peakNow;
        m_peakNow = 0;
        m_roundUs = now;
    }
    m_peakNow = qMax(m_peakNow, rate);
    m_flatSamples = rate > m_rate * 5 / 4 ? 0 : m_flatSamples + 1;
    m_rate = qMax(m_peakNow, m_peakBefore);
    if (m_growing && m_flatSamples >= kFlatSamplesToSteady)
        m_growing = false;
    // While it grows, no more than kGrowth times the steady bound: a writer
    // that the machine holds back, not the link, may be what sets the rate,
    // and what it would leave out when the link slows is then the link's.
    const quint32 steady = aheadFor(m_rate, m_minRttUs, kGainSteady);
    m_ahead = m_growing ? qBound(steady, m_ahead, quint32(qMin<qint64>(aheadMost(), qint64(kGrowth) * steady))) : steady;
    capGrowth(now);
}

void ZmodemTransfer::capGrowth(qint64 now)
{
    // However the ZACKs came, the bound no more than doubles a round trip.
    if (now - m_growRoundUs >= qMax(kRoundLeastUs, m_minRttUs)) {
        m_growRoundUs = now;
        m_growBase = m_growBase ? qMin(m_ahead, kGrowthPerRound * m_growBase) : m_ahead;
    }
    m_ahead = qMin(m_ahead, kGrowthPerRound * m_growBase) / kAckEveryLeast * kAckEveryLeast;
}

void ZmodemTransfer::openByLateness(quint32 pos, qint64 now, qint64 bareUs)
{
    // All of it went out when the stream began, so the link carried it in
    // the time since, less a bare round trip: a rate it has at least, unless
    // the offer's answer came late (a receiver slow to open its file) and
    // that round trip is too long. Then the ZACKs come one by one, as the
    // link carries the data, and how far apart they come says the rate.
    const qint64 carryUs = now - m_burstUs - bareUs;
    qint64 rate = qint64(pos - m_burstPos) * 1000000 / qMax(kQueuedUs, carryUs);
    if (now > m_firstAckUs)
        rate = qMin(rate, qint64(pos - m_firstAckPos) * 1000000 / (now - m_firstAckUs));
    // All that went out before the first ZACK came back together (a few of
    // them together are a line's jitter); about a bare round trip late, no
    // two of them came at the link's pace, and they count as one: no rate.
    // Back sooner than the offer's answer came, they show that round trip
    // was no bare one, not that the link is fast; much later, a line that
    // held them.
    if (carryUs > -kQueuedUs && carryUs < qMax(kQueuedUs, bareUs / 8))
        return;
    // It stands for the rate until a span shows one, so that the window it
    // opened does not fall to the least when the next ZACKs come late.
    m_rate = qMax(m_rate, rate);
    m_ahead = qMax(m_ahead, aheadFor(rate, m_minRttUs, kGainSteady));
}

void ZmodemTransfer::writeWindow()
{
    m_pump.stop();
    if (m_state != TxData || m_windowLeft <= 0)
        return;
    // While the host's words settle nothing of ours goes out: the window
    // waits to see whether the receiver speaks on.
    if (backlog() > queueBound() || settling()) {
        m_pump.start(kBacklogWaitMs);
        return;
    }
    const qint64 size = m_sendFile.size();
    QByteArray piece(kPieceSubpackets * (subpacketRoom(kSubpacketSize) + kHeaderRoom), Qt::Uninitialized);
    char *w = piece.data();
    const auto out = [&] {
        piece.resize(w - piece.constData());
        send(piece);
    };
    char data[kSubpacketSize];
    const quint32 spacing = ackSpacing();
    for (int n = 0; n < kPieceSubpackets && m_windowLeft > 0; ++n) {
        if (!mayWriteAhead())
            break; // the receiver's ZACK writes on
        const quint32 at = quint32(m_sendFile.pos());
        // Subpackets end on whole quarters of a KiB, so that a stream
        // resumed anywhere meets the points where a ZACK is asked for.
        const qint64 got = m_sendFile.read(data, qMin<qint64>(kSubpacketSize - at % kSubpacketSize, m_windowLeft));
        if (got > 0) {
            m_windowLeft -= got;
            const quint32 end = quint32(m_sendFile.pos());
            // The last subpacket before the bound asks for a ZACK too: without
            // one nothing would let the stream go on.
            const bool confirm = end % spacing == 0 || end - m_ackedPos >= m_ahead;
            if (confirm && m_windowLeft > 0)
                m_ackPoints.push_back({end, linkUs()});
            const bool more = m_windowLeft > 0 && end < size;
            w = writeDataSubpacket(w, data, int(got), m_windowLeft <= 0 ? ZCRCW : confirm ? ZCRCQ : more ? ZCRCE : ZCRCG);
            if (more && !confirm) {
                if (m_pasteFrames)
                    w = std::copy_n(kPasteClose, sizeof kPasteClose - 1, w);
                *w++ = kLineKill;
                if (m_pasteFrames)
                    w = std::copy_n(kPasteOpen, sizeof kPasteOpen - 1, w);
                const QByteArray header = binaryHeader(ZDATA, position(end));
                w = std::copy(header.cbegin(), header.cend(), w);
            }
            continue;
        }
        m_windowLeft = 0;
        if (m_sendFile.error() != QFileDevice::NoError) {
            out();
            abortTransfer(LanguageManager::tr("读取文件失败：%1").arg(m_sendFile.errorString()));
            return;
        }
        w = writeDataSubpacket(w, nullptr, 0, ZCRCE);
        out();
        // The piece that ends the file may end it too: it is reported whole.
        if (!reportSent(size))
            return;
        sendHexHeader(ZEOF, position(quint32(size)));
        setState(TxEofSent);
        emitStatus(LanguageManager::tr("数据发完，已发 ZEOF，等对端确认..."));
        return;
    }
    if (w == piece.constData())
        return;
    out();
    m_idleTicks = 0; // the peer is not silent while it is being written to
    if (!reportSent(m_sendFile.pos()))
        return;
    if (m_windowLeft > 0 && mayWriteAhead())
        m_pump.start(0);
}

bool ZmodemTransfer::reportSent(qint64 at)
{
    const qint64 size = m_sendFile.size();
    if (size <= 0)
        return true;
    const int percent = int(at * 100 / size);
    if (percent == m_lastPercent)
        return true;
    const quint64 generation = m_generation;
    m_lastPercent = percent;
    emit progressChanged(at, size, QFileInfo(m_sendFile.fileName()).fileName());
    return sameRun(generation) && emitStatus(LanguageManager::tr("发送进度：%1%").arg(percent));
}

bool ZmodemTransfer::seekSendFile(quint32 pos, const QString &failure)
{
    if (!m_sendFile.seek(pos)) {
        abortTransfer(failure);
        return false;
    }
    return true;
}

void ZmodemTransfer::nextFileAfter(bool skipped)
{
    const QString name = QFileInfo(m_sendFile.fileName()).fileName();
    m_sendFile.close();
    ++m_fileIndex;
    if (skipped) {
        m_skipped << name;
        m_skipReason = skipReason(name);
        if (!emitStatus(LanguageManager::tr("对端跳过了 %1：%2").arg(name, m_skipReason)))
            return;
    }
    offerNextFile();
}

void ZmodemTransfer::notePeerWords(const QByteArray &line)
{
    constexpr int kLinesKept = 8; // the complaint is among the last
    if (!m_isSender || m_state == TxFinSent)
        return;
    m_offerWords << QString::fromUtf8(line).trimmed();
    if (m_offerWords.size() > kLinesKept)
        m_offerWords.removeFirst();
}

QString ZmodemTransfer::skipReason(const QString &name) const
{
    // A receiver that tells why (rz -v) names the file in its complaint,
    // after the line that names it as it starts ("rz: cannot open x:
    // Permission denied" after "Receiving: x").
    for (auto it = m_offerWords.crbegin(); it != m_offerWords.crend(); ++it) {
        if (it->contains(name))
            return *it;
    }
    return LanguageManager::tr("对端未说明原因");
}

void ZmodemTransfer::handleSenderHeader(int type, const QByteArray &bytes)
{
    const quint32 pos = positionOf(bytes);
    if (type == ZFIN) {
        if (m_state == TxFinSent) {
            send(QByteArrayLiteral("OO"));
            m_unconsumed = pastHeaderEnd(m_scanner.takeRest());
            finishTransfer(sendOutcome());
        } else {
            answerFin();
        }
        return;
    }
    switch (m_state) {
    case TxWaitInit:
        if (type == ZRINIT)
            offerNextFile();
        else if (type == ZNAK && !m_lastHeader.isEmpty())
            send(m_lastHeader);
        return;
    case TxFileOffered:
        if (type == ZRPOS) {
            if (!seekSendFile(pos, LanguageManager::tr("对端 ZRPOS 定位失败")))
                return;
            learnRoundTrip();
            m_resumePos = pos;
            m_resending = false;
            setState(TxData);
            sendDataBurst();
        } else if (type == ZSKIP) {
            nextFileAfter(true);
        } else if (type == ZRINIT) {
            // A receiver answers each of our ZRQINITs with a ZRINIT on top of
            // the one it sends when it starts: those late answers are not a
            // request to offer the file again (which would start two data
            // streams). A real repeat beyond them still gets the offer.
            if (m_initEchoes > 0)
                --m_initEchoes;
            else
                offerNextFile();
        } else if (type == ZNAK && !m_lastHeader.isEmpty()) {
            send(m_lastHeader);
            markOffered();
        }
        return;
    case TxData:
        if (type == ZACK) {
            if (writingWindow()) {
                // A confirmation inside the window lets more of it go.
                if (pos - m_ackedPos <= quint32(m_sendFile.pos()) - m_ackedPos) {
                    learnLink(pos);
                    m_ackedPos = pos;
                    // The rest of the read first: ZACKs that came together
                    // are timed as they came, not one write apart.
                    if (!m_pump.isActive())
                        m_pump.start(0);
                }
                return;
            }
            m_resumePos = pos;
            m_resending = false;
            setState(TxData);
            sendDataBurst();
        } else if (type == ZRPOS && writingWindow() && resendOnItsWay(pos)) {
            // Over a long round trip it sees more of the old stream before
            // ours arrives, and asks again: starting over each time would put
            // the old stream before every new one, until it gives up.
            return;
        } else if (type == ZRPOS || type == ZNAK) {
            // A ZNAK here answers a garbled ZDATA header: the data behind it
            // was thrown away, so the burst goes again from the last point
            // the receiver confirmed.
            const quint32 target = type == ZRPOS ? pos : m_resumePos;
            if (!seekSendFile(target, LanguageManager::tr("对端 ZRPOS 定位失败")))
                return;
            // What the connection still holds of the stream before it would
            // reach the receiver first, as garbage it must read past to find
            // the new header: lrzsz gives up after a few of those.
            dropQueued();
            m_resumePos = target;
            m_resending = true;
            m_retries = 0;
            sendDataBurst();
        } else if (type == ZSKIP) {
            nextFileAfter(true);
        } else if (type == ZABORT || type == ZCAN) {
            abortTransfer(LanguageManager::tr("对端中止传输"));
        }
        return;
    case TxEofSent:
        if (type == ZRINIT) {
            ++m_filesSent;
            nextFileAfter(false);
        } else if (type == ZSKIP) {
            nextFileAfter(true);
        } else if (type == ZRPOS && !resendOnItsWay(pos)) {
            if (!seekSendFile(pos, LanguageManager::tr("对端 ZRPOS 定位失败")))
                return;
            m_resumePos = pos;
            m_resending = true;
            sendDataBurst();
        }
        return;
    default:
        return;
    }
}
