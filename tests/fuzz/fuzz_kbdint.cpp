// A hostile server's keyboard-interactive rounds: the password goes to every hidden prompt and to no
// echoing one; a round repeating the last one gets nothing and ends the login.
#include "connections/sshconnection.h"

#include <algorithm>
#include "fuzzcheck.h"

FUZZ_TARGET(input)
{
    QList<QByteArray> previous, lastAsked;
    bool gaveUp = false;
    const auto *data = reinterpret_cast<const uchar *>(input.constData());
    for (qsizetype at = 0, size = input.size(); at < size && !gaveUp;) {
        // A round: a prompt count, then per prompt a byte with the echo flag
        // (high bit) and the text's length (short, so that rounds repeat).
        const int count = data[at++] % 4;
        QList<SshPrompt> prompts;
        QList<QByteArray> texts;
        for (int i = 0; i < count && at < size; ++i) {
            const qsizetype length = std::min<qsizetype>(data[at] & 7, size - at - 1);
            prompts.append({input.mid(at + 1, length), (data[at] & 0x80) != 0});
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
}
