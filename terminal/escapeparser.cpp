#include "terminal/escapeparser.h"

#include <algorithm>

namespace {

constexpr char16_t BEL = 0x07;
constexpr char16_t CAN = 0x18;
constexpr char16_t SUB = 0x1A;
constexpr char16_t ESC = 0x1B;
constexpr char16_t DEL = 0x7F;

} // namespace

int EscapeHandler::printableRun(const QChar *text, int size)
{
    int i = 0;
    while (i < size && text[i].unicode() >= 0x20 && text[i].unicode() != DEL)
        ++i;
    return i;
}

void EscapeScanner::reset()
{
    st = State::Ground;
    payload = QString();
}

inline void EscapeScanner::enterEscape()
{
    st = State::Escape;
    esc = EscSequence();
}

inline void EscapeScanner::enterCsi()
{
    st = State::CsiEntry;
    csi.prefix = 0;
    csi.count = 0;
    csi.intermediateCount = 0;
    csi.final = 0;
    value = 0;
    hasDigits = false;
}

void EscapeScanner::enterString(State state, char16_t kind)
{
    st = state;
    stringKind = kind;
    payload.resize(0);
}

inline void EscapeScanner::endParam()
{
    if (csi.count < CsiSequence::MaxParams)
        csi.params[csi.count++] = hasDigits ? value : 0;
    value = 0;
    hasDigits = false;
}

void EscapeScanner::keep(const QChar *text, int size)
{
    const qsizetype room = MaxString - payload.size();
    if (room <= 0)
        return;
    // Reserved once at the cap, so that growing never overshoots it.
    if (payload.capacity() < MaxString)
        payload.reserve(MaxString);
    payload.append(text, std::min<qsizetype>(room, size));
}

void EscapeScanner::endString(EscapeHandler &handler)
{
    if (st == State::OscString)
        handler.oscDispatch(payload);
    else if (st == State::DcsPassthrough || st == State::SosPmApcString)
        handler.stringDispatch(stringKind, payload);
    payload.resize(0);
}

void EscapeScanner::escapeUnit(char16_t u, EscapeHandler &handler)
{
    if (st == State::Escape) {
        switch (u) {
        case '[': enterCsi(); return;
        case ']': enterString(State::OscString, u); return;
        case 'P': enterString(State::DcsEntry, u); return;
        case 'X':
        case '^':
        case '_': enterString(State::SosPmApcString, u); return;
        default: break;
        }
    }
    if (u <= 0x2F) {
        if (esc.intermediateCount++ == 0)
            esc.intermediate = u;
        st = State::EscapeIntermediate;
        return;
    }
    esc.final = u;
    st = State::Ground;
    handler.escDispatch(esc);
}

// One unit from 0x20 to 0x7E in a CSI state; true when the handler asked to stop.
bool EscapeScanner::csiUnit(char16_t u, EscapeHandler &handler)
{
    switch (st) {
    case State::CsiEntry:
        st = State::CsiParam;
        if (u >= 0x3C && u <= 0x3F) {
            csi.prefix = u;
            return false;
        }
        [[fallthrough]];
    case State::CsiParam:
        if (u >= '0' && u <= '9') {
            value = std::min(value * 10 + (u - '0'), CsiSequence::MaxValue);
            hasDigits = true;
            return false;
        }
        // ":" separates sub-parameters; they are read as plain parameters in order.
        if (u == ';' || u == ':') {
            endParam();
            return false;
        }
        if (u >= 0x3C && u <= 0x3F) { // a private marker after the start
            st = State::CsiIgnore;
            return false;
        }
        endParam();
        if (u <= 0x2F) {
            ++csi.intermediateCount;
            st = State::CsiIntermediate;
            return false;
        }
        break;
    case State::CsiIntermediate:
        if (u <= 0x2F) {
            ++csi.intermediateCount;
            return false;
        }
        if (u <= 0x3F) {
            st = State::CsiIgnore;
            return false;
        }
        break;
    default: // CsiIgnore
        if (u >= 0x40)
            st = State::Ground;
        return false;
    }
    csi.final = u;
    st = State::Ground;
    return handler.csiDispatch(csi);
}

// One unit from 0x20 to 0x7E of a DCS before its data: parameters,
// intermediates, then the final that starts the data.
void EscapeScanner::dcsUnit(char16_t u)
{
    const QChar unit(u);
    keep(&unit, 1);
    switch (st) {
    case State::DcsEntry:
        if (u >= 0x3C && u <= 0x3F) {
            st = State::DcsParam;
            return;
        }
        [[fallthrough]];
    case State::DcsParam:
        if ((u >= '0' && u <= '9') || u == ';') {
            st = State::DcsParam;
            return;
        }
        if (u == ':' || (u >= 0x3C && u <= 0x3F)) {
            st = State::DcsIgnore;
            return;
        }
        break;
    default: // DcsIntermediate
        if (u >= 0x30 && u <= 0x3F) {
            st = State::DcsIgnore;
            return;
        }
        break;
    }
    st = u <= 0x2F ? State::DcsIntermediate : State::DcsPassthrough;
}

int EscapeScanner::feed(const QChar *text, int size, EscapeHandler &handler)
{
    int i = 0;
    while (i < size) {
        if (st == State::Ground) {
            const char16_t u = text[i].unicode();
            if (u >= 0x20 && u != DEL) {
                i += std::max(1, handler.print(text + i, size - i));
                continue;
            }
            ++i;
            if (u == ESC) {
                enterEscape();
                if (i < size && text[i].unicode() == '[') {
                    enterCsi();
                    ++i;
                }
            } else if (u != DEL) {
                handler.execute(u);
            }
            continue;
        }
        if (st >= State::OscString) {
            int j = i;
            while (j < size && text[j].unicode() >= 0x20)
                ++j;
            if (j > i) {
                if (st != State::DcsIgnore)
                    keep(text + i, j - i);
                i = j;
                continue;
            }
            const char16_t u = text[i++].unicode();
            if (u == ESC) {
                endString(handler);
                enterEscape();
            } else if (u == CAN || u == SUB) {
                payload.resize(0);
                st = State::Ground;
                handler.execute(u);
            } else if (u == BEL && st == State::OscString) {
                endString(handler);
                st = State::Ground;
            } else if (st == State::DcsPassthrough) {
                keep(text + i - 1, 1);
            }
            continue;
        }
        // Parameters make up most of a sequence: read them in one go, and
        // the final right after them.
        if (st == State::CsiParam || st == State::CsiEntry) {
            int v = value;
            bool digits = hasDigits;
            int j = i;
            for (; j < size; ++j) {
                const char16_t c = text[j].unicode();
                if (c >= '0' && c <= '9') {
                    v = std::min(v * 10 + (c - '0'), CsiSequence::MaxValue);
                    digits = true;
                } else if (c == ';' || c == ':') {
                    if (csi.count < CsiSequence::MaxParams)
                        csi.params[csi.count++] = digits ? v : 0;
                    v = 0;
                    digits = false;
                } else {
                    break;
                }
            }
            value = v;
            hasDigits = digits;
            if (j > i)
                st = State::CsiParam;
            i = j;
            if (i == size)
                break;
            const char16_t f = text[i].unicode();
            if (st == State::CsiParam && f >= 0x40 && f <= 0x7E) {
                ++i;
                endParam();
                csi.final = f;
                st = State::Ground;
                if (handler.csiDispatch(csi))
                    return i;
                continue;
            }
        }
        const char16_t u = text[i++].unicode();
        if (u >= 0x20 && u < DEL) {
            if (st >= State::DcsEntry)
                dcsUnit(u);
            else if (st >= State::CsiEntry) {
                if (csiUnit(u, handler))
                    return i;
            } else {
                escapeUnit(u, handler);
            }
            continue;
        }
        if (u == ESC) {
            enterEscape();
        } else if (u == CAN || u == SUB) {
            st = State::Ground;
            handler.execute(u);
        } else if (u < 0x20) {
            if (st < State::DcsEntry)
                handler.execute(u);
        } else if (u > DEL) {
            // Outside the 7-bit table: the sequence is discarded with it.
            st = st >= State::DcsEntry ? State::DcsIgnore : State::Ground;
        }
    }
    return i;
}
