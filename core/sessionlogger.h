#pragma once

#include "core/sessionlogoptions.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QFile;

// Writes the traffic of one open session into a log file: a start banner,
// the sent and received bytes as text and/or HEX records, an end banner.
// Records are gathered in memory and written every 500 ms, or at once when
// 64 KiB are waiting, so a fast stream does not cost a write per chunk. The
// file is split by size. A write failure is reported once through logError,
// after which the logger records nothing more.
class SessionLogger : public QObject
{
    Q_OBJECT

public:
    SessionLogger(const QString &sessionName, const QString &host, const SessionLogOptions &options,
                  QObject *parent = nullptr);
    ~SessionLogger() override;

    // Opens the first file and writes the start banner. False when the file
    // cannot be made (no signal) or the banner cannot be written (logError).
    bool start();
    // Writes what is left and the end banner, closes the file. Idempotent.
    void stop();

    void logReceived(const QByteArray &bytes);
    void logSent(const QByteArray &bytes);

    // Writes the gathered records; the timer calls it, callers may too.
    void flushBuffer();

    bool isRecording() const;
    QString currentPath() const { return m_currentPath; }

    // The log path for the given moment: the folder, then the pattern with
    // its tokens filled in. Inserted names cannot climb out of the folder.
    static QString buildFileName(const QString &sessionName, const QString &host,
                                 const SessionLogOptions &options, const QDateTime &now);

    // The source of local time for names, banners and timestamps.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

signals:
    void logError(const QString &message);

private:
    bool openFile();
    void closeFile();
    void record(const QByteArray &bytes, bool sent);
    void recordTypedLines(const QByteArray &bytes, const QByteArray &head);
    QByteArray stamp() const;
    QByteArray head(const QByteArray &timestamp, bool sent, bool alwaysTag) const;
    // Writes straight to the file and flushes it; on failure closes the file
    // and reports, so no record is lost without a word.
    bool writeOut(const QByteArray &bytes);
    void fail(const QString &errorText);

    const QString m_sessionName;
    const QString m_host;
    const SessionLogOptions m_options;
    std::function<QDateTime()> m_clock;

    std::unique_ptr<QFile> m_file;
    QString m_currentPath;
    QString m_openError;
    QByteArray m_buffer;
    // The unfinished text line of each direction, received [0] and sent [1]:
    // typed bytes and the device's echo interleave, and one shared line
    // would mix them under one tag.
    QByteArray m_pending[2];
    bool m_sentEndedInCr = false; // an LF that follows ends no second typed line
    QTimer m_timer;
    qint64 m_bytesWritten = 0;
    qint32 m_fileIndex = 0;
};
