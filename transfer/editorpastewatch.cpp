#include "transfer/editorpastewatch.h"

#include <algorithm>

namespace {

constexpr QByteArrayView kModeIntro("\x1b[?2004");

} // namespace

void EditorPasteWatch::see(QByteArrayView output)
{
    if (m_takesPaste || output.isEmpty())
        return;
    QByteArray joined;
    if (!m_carry.isEmpty()) {
        joined = m_carry;
        joined.append(output);
        output = joined;
    }
    for (qsizetype at = output.indexOf(kModeIntro); at >= 0; at = output.indexOf(kModeIntro, at + 1)) {
        const qsizetype final = at + kModeIntro.size();
        if (final < output.size() && (output.at(final) == 'h' || output.at(final) == 'l')) {
            m_takesPaste = true;
            m_carry.clear();
            return;
        }
    }
    // Less than a whole sequence: its start, if that is what ends the read.
    m_carry.clear();
    for (qsizetype keep = std::min(output.size(), kModeIntro.size()); keep > 0; --keep) {
        if (kModeIntro.startsWith(output.last(keep))) {
            m_carry = output.last(keep).toByteArray();
            break;
        }
    }
}
