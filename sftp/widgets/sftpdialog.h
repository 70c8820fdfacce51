#pragma once

#include "connections/sshconnection.h"
#include "sftp/sftpdialogworker.h"
#include "sftp/widgets/progressthrottle.h"

#include <QDialog>
#include <QTimer>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TitleBar;

// A modeless browser of one remote folder at a time, with buttons to go up,
// refresh, upload, download, delete and make a folder. Its SSH session runs
// on a SftpDialogWorker of its own; the dialog deletes itself when closed.
class SftpDialog : public QDialog
{
    Q_OBJECT
public:
    // Rows carry in column 0: folder flag (also the ".." row), entry name.
    enum Role { IsDirRole = Qt::UserRole, NameRole };
    // The progress bar counts in thousandths, so any file size fits it.
    static constexpr int ProgressScale = 1000;

    SftpDialog(const SshConnectParams &p, QWidget *parent = nullptr);
    ~SftpDialog() override;

    QString currentFolder() const { return currentPath; }
    QString remotePath(const QString &name) const;
    // The size column's text for a file of n bytes.
    static QString sizeText(qint64 n);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onConnected();
    void onError(const QString &msg);
    void onListed(const QString &absPath, const QVariantList &entries);
    void onProgress(qlonglong done, qlonglong total);
    void onDone(const QString &summary);
    void onFailed(const QString &what, const QString &err);
    void onItemActivated(QTreeWidgetItem *item, int col);
    void navigate(const QString &path);
    void goUp();
    void refresh();
    void upload();
    void download();
    void removeSelected();
    void mkdir();

private:
    void setStatus(const QString &text, const char *style = nullptr);
    void showProgress(qint64 done, qint64 total);
    void flushProgress();
    void post(int kind, const QString &a, const QString &b = QString());

    SftpDialogWorker *worker = nullptr;
    SshConnectParams params;
    QString currentPath;
    TitleBar *titleBar;
    QLabel *hostLabel;
    QLineEdit *pathEdit;
    QTreeWidget *fileList;
    QPushButton *upButton;
    QPushButton *refreshButton;
    QPushButton *uploadButton;
    QPushButton *downloadButton;
    QPushButton *deleteButton;
    QPushButton *mkdirButton;
    QProgressBar *progressBar;
    QLabel *statusLabel;
    ProgressThrottle progressThrottle;
    QTimer progressTimer;
};
