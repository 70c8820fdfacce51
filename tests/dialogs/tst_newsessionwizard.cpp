#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/newsessionwizard.h"

#include "tests/dialogs/dialogtesting.h"
#include <QFrame>

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
    // parameters as typed, and the request that comes out. Going back to
    // change the protocol first ("proto:port" types a port there): a port
    // that was only the first protocol's default becomes the new one's; a
    // typed port stays.
    void cardToRequest_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("proto");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QStringList>("expected"); // name, host, port, user, group
        QTest::addColumn<QString>("serial");
        const QString noSerial = "COM1/115200/8/1/0/0";
        const auto unnamed = [](const QString &port) { return QStringList{"新会话", "", port, "", "Lab"}; };
        QTest::newRow("ssh") << QStringList{} << "ssh" << QVariantMap{{"hostEdit", " h1.example "}, {"userEdit", " root "}}
                             << "" << QStringList{"h1.example", "h1.example", "22", "root", "Lab"} << noSerial;
        QTest::newRow("telnet, typed port, group") << QStringList{} << "telnet"
                                                   << QVariantMap{{"hostEdit", "10.0.0.9"}, {"portEdit", "2323"}} << "Prod"
                                                   << QStringList{"10.0.0.9", "10.0.0.9", "2323", "", "Prod"} << noSerial;
        QTest::newRow("rlogin, empty host") << QStringList{} << "rlogin" << QVariantMap{} << "" << unnamed("513") << noSerial;
        QTest::newRow("serial") << QStringList{} << "serial"
                                << QVariantMap{{"serialPortCombo", "ttyUSB0"}, {"baudCombo", "9600"},
                                               {"dataBitsCombo", "7"}, {"stopBitsCombo", "1.5"},
                                               {"parityCombo", "标记 (Mark)"}, {"flowCombo", "软件 (XON/XOFF)"}}
                                << "" << QStringList{"Serial-ttyUSB0", "ttyUSB0", "9600", "", "Lab"}
                                << "ttyUSB0/9600/7/3/3/2";
        QTest::newRow("serial by path, bad baud") << QStringList{} << "serial"
                                                  << QVariantMap{{"serialPortCombo", "/dev/pts/7"}, {"baudCombo", "12"}}
                                                  << "" << QStringList{"Serial-7", "/dev/pts/7", "115200", "", "Lab"}
                                                  << "/dev/pts/7/115200/8/1/0/0";
        QTest::newRow("local, listed shell") << QStringList{} << "local" << QVariantMap{{"shellCombo", "/bin/sh"}} << ""
                                             << QStringList{"新会话", "/bin/sh", "", "", "Lab"} << noSerial;
        QTest::newRow("ssh to telnet") << QStringList{"ssh"} << "telnet" << QVariantMap{} << "" << unnamed("23") << noSerial;
        QTest::newRow("ssh to rlogin to raw") << QStringList{"ssh", "rlogin"} << "raw" << QVariantMap{} << ""
                                              << unnamed("5000") << noSerial;
        QTest::newRow("typed port stays") << QStringList{"ssh:2222"} << "telnet" << QVariantMap{} << "" << unnamed("2222")
                                          << noSerial;
        QTest::newRow("cleared port") << QStringList{"raw:"} << "ssh" << QVariantMap{} << "" << unnamed("22") << noSerial;
    }
    void cardToRequest()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, proto);
        QFETCH(QString, group);
        NewSessionWizard w;
        w.presetGroup(group);
        for (const QString &step : before) {
            pickCard(w, step.section(':', 0, 0));
            w.nextStep();
            if (step.contains(':'))
                w.findChild<QLineEdit *>("portEdit")->setText(step.section(':', 1));
            w.prevStep();
        }
        pickCard(w, proto);
        w.nextStep();
        QFETCH(QVariantMap, params);
        fill(w, params);
        w.nextStep();
        QCOMPARE(w.currentStep(), 3);
        w.nextStep();
        QCOMPARE(w.result(), int(QDialog::Accepted));
        const NewSessionRequest r = w.request();
        QCOMPARE(r.protocol, proto);
        QTEST((QStringList{r.name, r.host, r.port, r.user, r.group}), "expected");
        QTEST(serialText(r.serial), "serial");
        QVERIFY(r.connectNow && r.saveToTree);
    }

    // The method is shown in the user's language and handed on as the
    // source text the settings keep.
    void loginMethodAsStored()
    {
        LanguageManager::setLanguage(QStringLiteral("en"));
        NewSessionWizard w;
        pickCard(w, "ssh");
        w.nextStep();
        fill(w, {{"hostEdit", "h"}, {"authCombo", "Public Key"}});
        w.nextStep();
        w.nextStep();
        LanguageManager::setLanguage(QStringLiteral("zh"));
        QCOMPARE(w.request().auth, QStringLiteral("公钥认证"));
    }
};

QTEST_MAIN(TestNewSessionWizard)
#include "tst_newsessionwizard.moc"
