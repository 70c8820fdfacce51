#pragma once

#include <QChar>
#include <QString>

// One control sequence as ECMA-48 5.4 frames it: CSI, an optional private
// prefix ("?", ">", "<", "="), parameters, intermediates (0x20-0x2F) and a
// final byte.
struct CsiSequence
{
    // The wire decides how many parameters arrive; only this many are kept
    // (the rest are read and dropped), so no count can outgrow the array.
    static constexpr int MaxParams = 32;
    static constexpr int MaxValue = 1000000;

    char16_t prefix = 0;
    int params[MaxParams];
    int count = 0;
    int intermediateCount = 0;
    char16_t final = 0;

    int param(int i, int fallback = 0) const { return i < count ? params[i] : fallback; }
};

// ESC, intermediates (ECMA-35 designations such as ESC ( B) and a final.
struct EscSequence
{
    char16_t intermediate = 0; // the first one
    int intermediateCount = 0;
    char16_t final = 0;
};

// What a renderer does with the pieces the scanner finds.
class EscapeHandler
{
public:
    virtual ~EscapeHandler() = default;
    // Prints the units from the start of text up to the first control (a
    // unit below 0x20, or DEL) or the end, and returns how many it printed.
    // The first unit is printable. Handing over the whole rest lets the
    // renderer find the end of the run in the loop that prints it.
    virtual int print(const QChar *text, int size) = 0;
    static int printableRun(const QChar *text, int size);
    // A C0 control, also one met inside a control sequence (the sequence goes on).
    virtual void execute(char16_t control) = 0;
    // True stops the scan right after the final.
    virtual bool csiDispatch(const CsiSequence &seq) = 0;
    virtual void escDispatch(const EscSequence &) {}
    // Operating system command, ended by BEL or ESC.
    virtual void oscDispatch(const QString &) {}
    // DCS ('P', its parameters and final at the front), SOS ('X'), PM ('^')
    // or APC ('_') string, ended by ESC.
    virtual void stringDispatch(char16_t, const QString &) {}
};

// The escape-sequence state machine of the DEC parser diagram (vt100.net),
// on decoded UTF-16 text. The state survives between calls, so a sequence
// split anywhere reads as if it had come in one piece. Strings keep at most
// MaxString units of their payload; the rest is read and dropped, so a
// string that never ends costs no memory and prints nothing.
class EscapeScanner
{
public:
    static constexpr int MaxString = 4096;

    // Grouped: escape states, CSI states, DCS header states, then the
    // states inside a string (the scan reads ranges of them).
    enum class State : quint8 {
        Ground,
        Escape,
        EscapeIntermediate,
        CsiEntry,
        CsiParam,
        CsiIntermediate,
        CsiIgnore,
        DcsEntry,
        DcsParam,
        DcsIntermediate,
        OscString,
        DcsPassthrough,
        DcsIgnore,
        SosPmApcString,
    };

    // Returns the units read: all of them, unless a CSI dispatch asked to stop.
    int feed(const QChar *text, int size, EscapeHandler &handler);
    void reset();
    State state() const { return st; }
    // Units held for an unfinished string (capacity, as that is what it costs).
    qsizetype heldUnits() const { return payload.capacity(); }

private:
    State st = State::Ground;
    CsiSequence csi;
    EscSequence esc;
    int value = 0;
    bool hasDigits = false;
    char16_t stringKind = 0;
    QString payload;

    void enterEscape();
    void enterCsi();
    void enterString(State state, char16_t kind);
    void endParam();
    void keep(const QChar *text, int size);
    void endString(EscapeHandler &handler);
    bool csiUnit(char16_t u, EscapeHandler &handler);
    void escapeUnit(char16_t u, EscapeHandler &handler);
    void dcsUnit(char16_t u);
};
