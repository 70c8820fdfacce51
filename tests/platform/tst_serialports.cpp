#include "platform/serialports.h"
#include "tests/support/testfiles.h"

#include <QTemporaryDir>
#include <QTest>

class TestSerialPorts : public QObject
{
    Q_OBJECT

private slots:
    // Lines backed by a device count; consoles, ptys and 8250 slots without a UART (type 0) do
    // not. Numbers sort as numbers.
    void serialEnumeration()
    {
        QTemporaryDir sys;
        // name, backed by a device, type file (nullptr: none)
        const std::tuple<const char *, bool, const char *> entries[] = {{"ttyS0", true, "4"}, {"ttyS1", true, "0"},
            {"ttyS10", true, "4\n"}, {"ttyS2", true, "4"}, {"ttyUSB0", true, nullptr}, {"ttyACM1", true, nullptr},
            {"tty1", false, nullptr}, {"ptmx", false, nullptr}, {"console", false, nullptr}};
        for (const auto &[name, device, type] : entries) {
            const QString dir = sys.filePath(name);
            QVERIFY(QDir().mkpath(device ? dir + "/device" : dir) && (!type || writeFile(dir + "/type", type)));
        }
        QCOMPARE(platform::listSerialPorts(sys.path()), (QStringList{"ttyACM1", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));
        QCOMPARE(platform::listSerialPorts(sys.filePath("missing")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_serialports.moc"
