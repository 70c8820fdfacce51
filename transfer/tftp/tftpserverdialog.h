#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class TftpServer;
class TitleBar;

// The window of the TFTP server: served folder, port, start and stop, and a
// running log. The protocol itself lives in TftpServer; this only drives it.
class TftpServerDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TftpServerDialog(QWidget *parent = nullptr);
    ~TftpServerDialog() override;

    // The log keeps the newest rows only, so a server left running for
    // weeks does not grow without bound.
    static constexpr int maxLogRows = 5000;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void toggleServer();
    void chooseFolder();

private:
    void appendLog(const QString &text);
    void retranslate();
    void showState();

    TitleBar *titleBar = nullptr;
    QLabel *folderLabel = nullptr;
    QLabel *portLabel = nullptr;
    QPushButton *browseButton = nullptr;
    QLineEdit *folderEdit = nullptr;
    QSpinBox *portSpin = nullptr;
    QPushButton *startButton = nullptr;
    QListWidget *logList = nullptr;
    QLabel *statusLabel = nullptr;
    TftpServer *server = nullptr;
};
