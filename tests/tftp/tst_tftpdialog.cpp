#include "core/languagemanager.h"
#include "tftptestclient.h"
#include "transfer/tftp/tftpserverdialog.h"

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
    QPushButton *button = nullptr;
    QListWidget *logList = nullptr;

    void click() { QTest::mouseClick(button, Qt::LeftButton); }
    bool running() const { return button->text() == "Stop Server"; }
    // Rows carry the time of day in front: "[HH:mm:ss] text".
    QString row(int i = -1) const
    {
        static const QRegularExpression stamp(R"(^\[\d\d:\d\d:\d\d\] )");
        const QString text = logList->count() ? logList->item(i < 0 ? logList->count() - 1 : i)->text() : QString();
        return stamp.match(text).hasMatch() ? text.mid(11) : "<no time stamp> " + text;
    }
    void setPort(quint16 port) { dialog->findChild<QSpinBox *>()->setValue(port); }

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage("en");
        dialog = new TftpServerDialog;
        dialog->show();
        button = dialog->findChild<QPushButton *>("primaryButton");
        logList = dialog->findChild<QListWidget *>();
        QVERIFY(button && logList && dialog->findChild<QSpinBox *>() && dialog->findChild<QLineEdit *>());
    }

    void cleanupTestCase() { delete dialog; }

    // Start, serve real clients while the window is hidden with Escape (it
    // only hides), stop. The folder field is read per request.
    void startServeStop()
    {
        QTemporaryDir served, client, later;
        const QByteArray data = randomBytes(4000);
        QVERIFY(writeFile(served.filePath("a%1b.bin"), data));
        dialog->findChild<QLineEdit *>()->setText(served.path());
        setPort(dialogPort);
        click();
        QVERIFY(running());
        QCOMPARE(row(), QString("Server started: port %1, directory %2").arg(dialogPort).arg(served.path()));
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible() && running());

        // A name holding "%1" shows as it is: the row is filled in one pass.
        QCOMPARE(transfer(client.path(), Client::Hpa, Op::Get, dialogPort, "a%1b.bin", "out"), 0);
        QVERIFY(readFile(client.filePath("out")) == data);
        QTRY_COMPARE(row(), "Download complete: a%1b.bin (4000 bytes)");
        dialog->findChild<QLineEdit *>()->setText(later.path());
        QCOMPARE(transfer(client.path(), Client::Atftp, Op::Put, dialogPort, "up.bin", "out"), 0);
        QTRY_VERIFY(readFile(later.filePath("up.bin")) == data);

        dialog->show();
        click();
        QVERIFY(!running());
        QCOMPARE(row(), "Server stopped");

        // Closing the window stops the server; closing it stopped logs nothing.
        click();
        QTest::mouseClick(dialog->findChild<QPushButton *>("titleCloseBtn"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible() && !running());
        QCOMPARE(row(), "Server stopped");
        dialog->show();
        const int rows = logList->count();
        dialog->close();
        QCOMPARE(logList->count(), rows);
        dialog->show();
    }

    // A held port: one row naming it, the server stays stopped. Many such
    // rows also show that the log keeps only its newest rows.
    void bindFailureAndLogLimit()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, heldPort));
        setPort(heldPort);
        const int before = logList->count();
        click();
        QCOMPARE(logList->count(), before + 1);
        const QString failed = QString("Failed to bind port %1: ").arg(heldPort);
        QVERIFY2(row().startsWith(failed) && row().size() > failed.size(), qPrintable(row()));
        QVERIFY(!running());

        const QString oldest = logList->item(0)->text();
        for (int i = 0; i < TftpServerDialog::maxLogRows; ++i)
            QMetaObject::invokeMethod(button, "click");
        QCOMPARE(logList->count(), TftpServerDialog::maxLogRows);
        QVERIFY(row(0).startsWith("Failed to bind port") && logList->item(0)->text() != oldest);
    }
};

QTEST_MAIN(TestTftpDialog)
#include "tst_tftpdialog.moc"
