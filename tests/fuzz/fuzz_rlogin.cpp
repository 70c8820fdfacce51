// An RLogin server's urgent control bytes: nothing is answered until sizes are asked for, then only
// whole window records of the size at that moment.
#include "connections/rloginconnection.h"

#include <QtEndian>

#include "fuzzcheck.h"

FUZZ_TARGET(input)
{
    const auto *data = reinterpret_cast<const uchar *>(input.constData());
    bool reportSizes = false, asked = false;
    for (qsizetype at = 0; at + 4 < input.size(); at += 5) {
        // The size this control byte meets, over the whole range of int.
        const int cols = int(qFromBigEndian<quint16>(data + at + 1)) * (data[at] & 1 ? -1 : 7919);
        const int rows = int(data[at + 3]) - 128;
        const QByteArray sent = RLoginConnection::controlAnswer(data[at + 4], &reportSizes, cols, rows);
        asked = asked || (data[at + 4] & RLoginConnection::WindowRequest);
        check(reportSizes == asked);
        if (sent.isEmpty())
            continue;
        check(asked && sent.size() == 12 && sent.startsWith("\xFF\xFFss"));
        check(qFromBigEndian<quint16>(sent.constData() + 4) == quint16(qBound(0, rows, 0xFFFF)));
        check(qFromBigEndian<quint16>(sent.constData() + 6) == quint16(qBound(0, cols, 0xFFFF)));
        check(sent.endsWith(QByteArray(4, '\0')));
    }
}
