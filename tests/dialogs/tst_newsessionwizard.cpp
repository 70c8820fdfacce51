#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/newsessionwizard.h"

#include "tests/dialogs/dialogtesting.h"
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QTest>

namespace {

void pickCard(NewSessionWizard &w, const QString &key)
{
    auto *card = w.findChild<QFrame *>("card_" + key);
    QVERIFY(card);
    QTest::mouseClick(card, Qt::LeftButton);
}

} // namespace

class TestNewSessionWizard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SessionStore::instance().addGroup(QStringLiteral("Lab"));
        SessionStore::instance().addGroup(QStringLiteral("Prod"));
        LanguageManager::setLanguage(QStringLiteral("zh"));
    }

    // One pass through the three steps per protocol: the card, the
    // parameters as typed, and the request that comes out.
    void cardToRequest_data()
    {
        QTest::addColumn<QString>("proto");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QStringList>("expected"); // name, host, port, user, group
        QTest::addColumn<QString>("serial");
        const QString noSerial = "COM1/115200/8/1/0/0";
        QTest::newRow("ssh") << "ssh" << QVariantMap{{"hostEdit", " h1.example "}, {"userEdit", " root "}} << ""
                             << QStringList{"h1.example", "h1.example", "22", "root", "Lab"} << noSerial;
        QTest::newRow("telnet, typed port, group") << "telnet" << QVariantMap{{"hostEdit", "10.0.0.9"}, {"portEdit", "2323"}}
                                                   << "Prod" << QStringList{"10.0.0.9", "10.0.0.9", "2323", "", "Prod"}
                                                   << noSerial;
        QTest::newRow("rlogin, empty host") << "rlogin" << QVariantMap{} << ""
                                            << QStringList{"新会话", "", "513", "", "Lab"} << noSerial;
        QTest::newRow("serial") << "serial"
                                << QVariantMap{{"serialPortCombo", "ttyUSB0"}, {"baudCombo", "9600"},
                                               {"dataBitsCombo", "7"}, {"stopBitsCombo", "1.5"},
                                               {"parityCombo", "标记 (Mark)"}, {"flowCombo", "软件 (XON/XOFF)"}}
                                << "" << QStringList{"Serial-ttyUSB0", "ttyUSB0", "9600", "", "Lab"}
                                << "ttyUSB0/9600/7/3/3/2";
        QTest::newRow("serial by path, bad baud") << "serial"
                                                  << QVariantMap{{"serialPortCombo", "/dev/pts/7"}, {"baudCombo", "12"}}
                                                  << "" << QStringList{"Serial-7", "/dev/pts/7", "115200", "", "Lab"}
                                                  << "/dev/pts/7/115200/8/1/0/0";
        QTest::newRow("local, listed shell") << "local" << QVariantMap{{"shellCombo", "/bin/sh"}} << ""
                                             << QStringList{"新会话", "/bin/sh", "", "", "Lab"} << noSerial;
    }
    void cardToRequest()
    {
        QFETCH(QString, proto);
        QFETCH(QVariantMap, params);
        QFETCH(QString, group);
        QFETCH(QString, serial);
        NewSessionWizard w;
        w.presetGroup(group);
        pickCard(w, proto);
        w.nextStep();
        fill(w, params);
        w.nextStep();
        QCOMPARE(w.currentStep(), 3);
        w.nextStep();
        QCOMPARE(w.result(), int(QDialog::Accepted));
        const NewSessionRequest r = w.request();
        QCOMPARE(r.protocol, proto);
        QTEST((QStringList{r.name, r.host, r.port, r.user, r.group}), "expected");
        QCOMPARE(serialText(r.serial), serial);
        QVERIFY(r.connectNow && r.saveToTree);
    }

    // Going back to change the protocol: a port that was only the first
    // protocol's default becomes the new one's; a typed port stays.
    void portFollowsProtocol_data()
    {
        QTest::addColumn<QStringList>("route");
        QTest::addColumn<QString>("typed"); // empty: leave the port as shown
        QTest::addColumn<QString>("port");
        QTest::newRow("ssh to telnet") << QStringList{"ssh", "telnet"} << "" << "23";
        QTest::newRow("ssh to rlogin to raw") << QStringList{"ssh", "rlogin", "raw"} << "" << "5000";
        QTest::newRow("typed port stays") << QStringList{"ssh", "telnet"} << "2222" << "2222";
        QTest::newRow("cleared port") << QStringList{"raw", "ssh"} << " " << "22";
    }
    void portFollowsProtocol()
    {
        QFETCH(QStringList, route);
        QFETCH(QString, typed);
        QFETCH(QString, port);
        NewSessionWizard w;
        for (const QString &proto : route) {
            pickCard(w, proto);
            w.nextStep();
            if (!typed.isEmpty() && proto == route.first())
                w.findChild<QLineEdit *>("portEdit")->setText(typed.trimmed());
            w.prevStep();
        }
        w.nextStep();
        w.nextStep();
        w.nextStep();
        QCOMPARE(w.request().port, port);
    }
};

QTEST_MAIN(TestNewSessionWizard)
#include "tst_newsessionwizard.moc"
