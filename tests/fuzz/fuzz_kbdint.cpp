// Fuzz target: a hostile server's keyboard-interactive rounds, each a list of
// prompts with echo flags. The password goes to every hidden prompt and to
// no echoing one; a round that repeats the last one gets nothing and ends
// the login.
#include "connections/sshconnection.h"

#include <algorithm>
#include <cstdint>

#include "fuzzcheck.h" // last: its check() would clash with Qt's headers

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QList<QByteArray> previous, lastAsked;
    bool gaveUp = false;
    for (size_t at = 0; at < size && !gaveUp;) {
        // A round: a prompt count, then per prompt a byte with the echo flag
        // (high bit) and the text's length (short, so that rounds repeat).
        const int count = data[at++] % 4;
        QList<SshPrompt> prompts;
        QList<QByteArray> texts;
        for (int i = 0; i < count && at < size; ++i) {
            const size_t length = std::min<size_t>(data[at] & 7, size - at - 1);
            prompts.append({QByteArray(reinterpret_cast<const char *>(data + at + 1), qsizetype(length)), (data[at] & 0x80) != 0});
            texts.append(prompts.last().text);
            at += 1 + length;
        }
        const QList<bool> answer = sshPromptsToAnswer(prompts, &previous, &gaveUp);
        check(answer.size() == prompts.size());
        for (qsizetype i = 0; i < prompts.size(); ++i)
            check(!(answer[i] && prompts[i].echo) && (answer[i] || prompts[i].echo || gaveUp));
        check(!gaveUp || (!prompts.isEmpty() && texts == lastAsked && !answer.contains(true)));
        if (!prompts.isEmpty())
            lastAsked = texts;
    }
    return 0;
}
