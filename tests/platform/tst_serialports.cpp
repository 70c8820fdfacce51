#include "platform/serialports.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSerialPorts : public QObject
{
    Q_OBJECT

private slots:
    // Lines backed by a device count; consoles, ptys and 8250 slots without
    // a UART (type 0) do not. Numbers sort as numbers.
    void serialEnumeration()
    {
        QTemporaryDir sys;
        QVERIFY(sys.isValid());
        const struct {
            const char *name;
            bool device;
            const char *type; // nullptr: no type file
        } entries[] = {
            {"ttyS0", true, "4"},     {"ttyS1", true, "0"},  {"ttyS10", true, "4\n"}, {"ttyS2", true, "4"},
            {"ttyUSB0", true, nullptr}, {"ttyACM1", true, nullptr}, {"tty1", false, nullptr}, {"ptmx", false, nullptr},
            {"console", false, nullptr},
        };
        for (const auto &e : entries) {
            const QString dir = sys.filePath(e.name);
            QVERIFY(QDir().mkpath(e.device ? dir + "/device" : dir));
            if (e.type) {
                QFile f(dir + "/type");
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(e.type);
            }
        }
        QCOMPARE(platform::listSerialPorts(sys.path()), (QStringList{"ttyACM1", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));
        QCOMPARE(platform::listSerialPorts(sys.filePath("missing")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_serialports.moc"
