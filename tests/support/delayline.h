// A peer's terminal as a remote one behaves: a line that holds every byte a
// fixed time each way between the peer's ends (a pty master, or a pair of
// pipes) and a socket that takes their place on our side. The peer's ends stay
// the caller's to close, after the line is gone.
#pragma once

#include "tests/support/delaypump.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

class DelayLine
{
public:
    DelayLine(int peerRead, int peerWrite, LineShape line)
    {
        int ends[2];
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        if (m_stop < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        m_ours = ends[0], m_far = ends[1];
        ::fcntl(m_ours, F_SETFL, ::fcntl(m_ours, F_GETFL) | O_NONBLOCK);
        m_pumps[0] = std::thread([=] { pumpDelayed(m_far, peerWrite, line, m_stop); });
        m_pumps[1] = std::thread([=] { pumpDelayed(peerRead, m_far, line, m_stop); });
    }
    DelayLine(const DelayLine &) = delete;
    DelayLine &operator=(const DelayLine &) = delete;
    ~DelayLine()
    {
        if (m_stop >= 0)
            ::eventfd_write(m_stop, 1);
        for (std::thread &t : m_pumps)
            if (t.joinable())
                t.join();
        for (const int fd : {m_ours, m_far, m_stop})
            if (fd >= 0)
                ::close(fd);
    }
    // Our end, non-blocking, for reading and writing; -1 when the line could not be made.
    int ours() const { return m_ours; }

private:
    int m_ours = -1, m_far = -1, m_stop = -1;
    std::thread m_pumps[2];
};
