#include "core/languagemanager.h"
#include "tftptestclient.h"
#include "transfer/tftp/tftpserverdialog.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace tftptest;

namespace {
constexpr quint16 dialogPort = 26950 + HV_TEST_PORT_OFFSET;
constexpr quint16 heldPort = 26951 + HV_TEST_PORT_OFFSET;
}

class TestTftpDialog : public QObject
{
    Q_OBJECT

private:
    TftpServerDialog *dialog = nullptr;
    QPushButton *startButton() const { return dialog->findChild<QPushButton *>(QStringLiteral("primaryButton")); }
    QListWidget *logList() const { return dialog->findChild<QListWidget *>(); }
    QSpinBox *portSpin() const { return dialog->findChild<QSpinBox *>(); }
    QLineEdit *folderEdit() const { return dialog->findChild<QLineEdit *>(); }
    QLabel *statusLabel() const
    {
        for (QLabel *l : dialog->findChildren<QLabel *>()) {
            if (l->styleSheet() == QLatin1String("color:#858585;"))
                return l;
        }
        return nullptr;
    }
    QString lastRow() const { return logList()->count() ? logList()->item(logList()->count() - 1)->text() : QString(); }
    // Rows carry the time of day in front: "[HH:mm:ss] text".
    static QString stripTime(const QString &row)
    {
        static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] "));
        const auto m = stamp.match(row);
        return m.hasMatch() ? row.mid(m.capturedLength()) : QStringLiteral("<no time stamp> ") + row;
    }
    bool running() const { return startButton()->text() == QLatin1String("Stop Server"); }

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage(QStringLiteral("en"));
        dialog = new TftpServerDialog;
        dialog->show();
        QVERIFY(startButton() && logList() && portSpin() && folderEdit() && statusLabel());
    }

    void cleanupTestCase() { delete dialog; }

    // Start, serve real clients while the window is hidden with Escape (it
    // only hides), stop. The folder field is read per request.
    void startServeStop()
    {
        QTemporaryDir served, client, later;
        const QByteArray data = randomBytes(4000);
        QVERIFY(writeFile(served.filePath(QStringLiteral("a%1b.bin")), data));
        folderEdit()->setText(served.path());
        portSpin()->setValue(dialogPort);

        QTest::mouseClick(startButton(), Qt::LeftButton);
        QVERIFY(running());
        const QString port = QString::number(dialogPort);
        QCOMPARE(statusLabel()->text(), QStringLiteral("Listening on 0.0.0.0:%1, service directory %2").arg(port, served.path()));
        QCOMPARE(stripTime(lastRow()), QStringLiteral("Server started: port %1, directory %2").arg(port, served.path()));
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible() && running());

        // A name holding "%1" shows as it is: the row is filled in one pass.
        QCOMPARE(runProgram(client.path(), clientArgs(Client::Hpa, Op::Get, dialogPort, QStringLiteral("a%1b.bin"), QStringLiteral("out"))), 0);
        QVERIFY(readFile(client.filePath(QStringLiteral("out"))) == data);
        QTRY_COMPARE(stripTime(lastRow()), QStringLiteral("Download complete: a%1b.bin (4000 bytes)"));
        folderEdit()->setText(later.path());
        QCOMPARE(runProgram(client.path(), clientArgs(Client::Atftp, Op::Put, dialogPort, QStringLiteral("up.bin"), QStringLiteral("out"))), 0);
        QTRY_VERIFY(readFile(later.filePath(QStringLiteral("up.bin"))) == data);

        dialog->show();
        QTest::mouseClick(startButton(), Qt::LeftButton);
        QVERIFY(!running());
        QCOMPARE(statusLabel()->text(), QStringLiteral("Server not running"));
        QCOMPARE(stripTime(lastRow()), QStringLiteral("Server stopped"));
    }

    // A held port: one row naming it, the server stays stopped. Many such
    // rows also show that the log keeps only its newest rows.
    void bindFailureAndLogLimit()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, heldPort));
        portSpin()->setValue(heldPort);
        const int before = logList()->count();
        QTest::mouseClick(startButton(), Qt::LeftButton);
        QCOMPARE(logList()->count(), before + 1);
        QVERIFY2(stripTime(lastRow()).startsWith(QStringLiteral("Failed to bind port %1: ").arg(heldPort)), qPrintable(lastRow()));
        QVERIFY(stripTime(lastRow()).size() > QStringLiteral("Failed to bind port %1: ").arg(heldPort).size());
        QVERIFY(!running());
        QCOMPARE(statusLabel()->text(), QStringLiteral("Server not running"));

        const QString oldest = logList()->item(0)->text();
        for (int i = 0; i < TftpServerDialog::maxLogRows; ++i)
            QMetaObject::invokeMethod(startButton(), "click");
        QCOMPARE(logList()->count(), TftpServerDialog::maxLogRows);
        QVERIFY(stripTime(logList()->item(0)->text()).startsWith(QStringLiteral("Failed to bind port")));
        QVERIFY(logList()->item(0)->text() != oldest);
        QVERIFY(!running());
    }

    void closeStopsServer()
    {
        portSpin()->setValue(dialogPort);
        QTest::mouseClick(startButton(), Qt::LeftButton);
        QVERIFY(running());
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("titleCloseBtn")), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
        QVERIFY(!running());
        QCOMPARE(stripTime(lastRow()), QStringLiteral("Server stopped"));

        // Closing a stopped server's window logs nothing.
        dialog->show();
        const int rows = logList()->count();
        dialog->close();
        QCOMPARE(logList()->count(), rows);
        dialog->show();
    }
};

QTEST_MAIN(TestTftpDialog)
#include "tst_tftpdialog.moc"
