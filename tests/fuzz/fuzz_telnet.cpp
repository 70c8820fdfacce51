// A peer's bytes through the Telnet option parser: the result does not depend on where reads are cut,
// answers are whole commands, and two parsers answering each other fall quiet, even set at odds.
#include "connections/telnetconnection.h"

#include <QRegularExpression>

#include "fuzzcheck.h"

namespace {

using P = TelnetProtocol;

// IAC WILL/WONT/DO/DONT option, or IAC SB ... IAC SE with IAC doubled inside.
bool wholeCommands(const QByteArray &r)
{
    static const QRegularExpression commands(R"(\A(?:\xFF[\xFB-\xFE][\s\S]|\xFF\xFA(?:[^\xFF]|\xFF\xFF)*\xFF\xF0)*\z)");
    return commands.match(QString::fromLatin1(r)).hasMatch();
}

bool sameStates(const P &a, const P &b)
{
    bool same = true;
    for (int i = 0; i < 256; ++i)
        same = same && a.localState(quint8(i)) == b.localState(quint8(i)) && a.remoteState(quint8(i)) == b.remoteState(quint8(i));
    return same;
}

} // namespace

FUZZ_SEEDED_TARGET(seed, input)
{
    P whole;
    QByteArray wholeReplies = whole.start();
    const QByteArray wholeData = whole.receive(input, &wholeReplies);
    check(wholeData.size() <= input.size());
    check(wholeCommands(wholeReplies));

    P cut;
    QByteArray cutReplies = cut.start();
    QByteArray cutData;
    for (const QByteArray &slice : slices(input, seed, 7))
        cutData += cut.receive(slice, &cutReplies);
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
}
