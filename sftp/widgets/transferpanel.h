#pragma once

#include <QHash>
#include <QTimer>
#include <QWidget>

class QProgressBar;
class QTreeWidget;
class QTreeWidgetItem;

// The list of uploads and downloads under the remote directory tree: one row
// per transfer, kept for the panel's lifetime. The panel shows itself when a
// transfer is added and hides three seconds after the last one ends.
class TransferPanel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int HideDelay = 3000; // milliseconds

    explicit TransferPanel(QWidget *parent = nullptr);

    void addTransfer(int id, const QString &name, bool upload, qint64 total);
    void updateProgress(int id, qint64 done, qint64 total);
    void finishTransfer(int id, const QString &status, bool ok);
    // A finished transfer that left something out: its status is marked,
    // and the note is its tool tip.
    void noteTransfer(int id, const QString &note);

    static QString formatBytes(qint64 bytes);

    int activeCount() const { return m_activeCount; }
    // The hide countdown then runs only on elapse(), so a test can let
    // seconds pass at once.
    void setManualClock(bool manual);
    void elapse(int ms);

private:
    void startHideCountdown();
    void stopHideCountdown();
    void hideIfIdle();

    QTreeWidget *tree;
    QHash<int, QTreeWidgetItem *> items;
    QHash<int, QProgressBar *> bars;
    int m_activeCount = 0;
    QTimer hideTimer;
    bool manualClock = false;
    int manualRemaining = -1; // ms left on the manual clock; -1 when stopped
};
