// Fuzz target: a peer's bytes through the Telnet option parser. What it
// yields must not depend on where reads are cut, its answers must be whole
// commands that carry no data, and two parsers answering each other must
// fall quiet (no negotiation loop), also after the input set them at odds.
#include "connections/telnetconnection.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using P = TelnetProtocol;

// Names the broken promise before stopping, so a finding says what it is.
#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "broken: %s\n", #ok), std::abort()))

// IAC WILL/WONT/DO/DONT option, or IAC SB ... IAC SE with IAC doubled inside.
bool wholeCommands(const QByteArray &r)
{
    qsizetype i = 0;
    while (i < r.size()) {
        if (quint8(r[i]) != P::IAC || i + 2 >= r.size())
            return false;
        const quint8 c = quint8(r[i + 1]);
        if (c >= P::WILL && c <= P::DONT) {
            i += 3;
            continue;
        }
        if (c != P::SB)
            return false;
        qsizetype j = i + 2;
        for (;; ++j) {
            if (j + 1 >= r.size())
                return false;
            if (quint8(r[j]) != P::IAC)
                continue;
            if (quint8(r[j + 1]) == P::SE)
                break;
            if (quint8(r[j + 1]) != P::IAC)
                return false;
            ++j;
        }
        i = j + 2;
    }
    return true;
}

bool sameStates(const P &a, const P &b)
{
    for (int option = 0; option < 256; ++option) {
        if (a.localState(quint8(option)) != b.localState(quint8(option))
            || a.remoteState(quint8(option)) != b.remoteState(quint8(option)))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    quint32 seed = data[0]; // where the reads are cut
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    P whole;
    QByteArray wholeReplies = whole.start();
    const QByteArray wholeData = whole.receive(input, &wholeReplies);
    check(wholeData.size() <= input.size());
    check(wholeCommands(wholeReplies));

    P cut;
    QByteArray cutReplies = cut.start();
    QByteArray cutData;
    for (qsizetype at = 0; at < input.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype n = std::min<qsizetype>(input.size() - at, 1 + (seed >> 16) % 7);
        cutData += cut.receive(input.mid(at, n), &cutReplies);
        at += n;
    }
    check(cutData == wholeData && cutReplies == wholeReplies && sameStates(cut, whole));

    // The peer is another parser of ours: each side's answers go to the
    // other until neither has anything to say.
    P peer;
    QByteArray toPeer = wholeReplies;
    QByteArray toUs = peer.start();
    for (int round = 0; !(toPeer.isEmpty() && toUs.isEmpty()); ++round) {
        check(round < 16);
        QByteArray peerReplies;
        check(peer.receive(toPeer, &peerReplies).isEmpty());
        QByteArray ourReplies;
        whole.receive(toUs, &ourReplies); // the input may have left us inside a command
        check(wholeCommands(peerReplies) && wholeCommands(ourReplies));
        toPeer = ourReplies;
        toUs = peerReplies;
    }
    return 0;
}
