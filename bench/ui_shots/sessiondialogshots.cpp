// session_dialog_shots OUTDIR [LANG]: every step of the new-session wizard
// (the parameter step once per protocol) and every page of the session
// options dialog, for sessions of each kind, as PNGs for a person to look at.
// Run under xvfb-run like ui_shots.
#include "bench/ui_shots/shots.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "resources/stylesheet.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFrame>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {
using shots::outDir;
using shots::settle;

void save(const QString &name, QWidget *w)
{
    settle();
    const QRect area = w->frameGeometry();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
    shot.save(path);
    std::printf("%s %dx%d\n", qPrintable(path), area.width(), area.height());
}

void shootWizard()
{
    const char *protocols[] = {"ssh", "telnet", "serial", "raw", "local", "rlogin"};
    for (const char *proto : protocols) {
        NewSessionWizard w;
        w.move(40, 40);
        w.show();
        if (QByteArray(proto) == "ssh")
            save(QStringLiteral("wizard-1-protocol"), &w);
        QTest::mouseClick(w.findChild<QFrame *>(QStringLiteral("card_") + QLatin1String(proto)), Qt::LeftButton);
        w.nextStep();
        save(QStringLiteral("wizard-2-") + QLatin1String(proto), &w);
        if (QByteArray(proto) == "serial") {
            w.nextStep();
            save(QStringLiteral("wizard-3-finish"), &w);
        }
    }
}

void shootOptions()
{
    SessionStore &store = SessionStore::instance();
    const struct {
        const char *name, *type, *host, *port;
    } sessions[] = {
        {"web-01", "ssh", "10.0.0.11", "22"},
        {"console", "serial", "ttyUSB0", "115200"},
        {"shell", "local", "", ""},
        {"echo-raw", "raw", "127.0.0.1", "7"},
    };
    for (const auto &s : sessions) {
        SerialParams serial;
        serial.serial_port = QStringLiteral("ttyUSB0");
        const QString id = store.addSession(QString::fromUtf8(s.name), QString::fromLatin1(s.type),
                                            QStringLiteral("Production"), QString::fromUtf8(s.host),
                                            QString::fromLatin1(s.port), serial);
        const std::optional<SessionInfo> info = store.findSession(id);
        if (!info) {
            std::fprintf(stderr, "session %s was not stored\n", s.name);
            std::exit(1);
        }
        SessionOptionsDialog d(*info);
        // Tall enough to show each page whole.
        d.resize(d.width(), 960);
        d.move(20, 20);
        d.show();
        const int pages = QByteArray(s.type) == "ssh" ? d.pageCount() : 1;
        for (int i = 0; i < pages; ++i) {
            d.showPage(i);
            save(QStringLiteral("options-%1-%2").arg(QLatin1String(s.type)).arg(i + 1), &d);
            // The keyword table's word cells edit in a list of their own.
            for (QTableWidget *table : d.findChildren<QTableWidget *>()) {
                const QTableWidgetItem *header = table->horizontalHeaderItem(2);
                if (!table->isVisible() || table->rowCount() < 1 || !header || header->data(Qt::UserRole).isNull())
                    continue;
                table->editItem(table->item(0, 2));
                if (auto *combo = table->findChild<QComboBox *>())
                    combo->showPopup();
                save(QStringLiteral("options-%1-%2-word-list").arg(QLatin1String(s.type)).arg(i + 1), &d);
                if (auto *combo = table->findChild<QComboBox *>())
                    combo->hidePopup();
            }
        }
    }
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: session_dialog_shots OUTDIR [LANG]\n");
        return 2;
    }
    outDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    // A folder of an earlier run holds its sessions, and the store refuses
    // the same names twice: every run starts from an empty one.
    QDir(outDir + QStringLiteral("/home")).removeRecursively();
    QDir().mkpath(outDir + QStringLiteral("/home/data"));
    qputenv("HOME", QFile::encodeName(outDir + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(outDir + QStringLiteral("/home/.config")));
    qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(outDir + QStringLiteral("/home/data")));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvorstead"));
    QApplication::setStyle(QStringLiteral("Fusion"));
    app.setStyleSheet(QString::fromUtf8(appStyleSheet));
    LanguageManager::setLanguage(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("en"));
    SessionStore::instance().addGroup(QStringLiteral("Production"));
    SessionStore::instance().addGroup(QStringLiteral("Lab"));
    shootWizard();
    shootOptions();
    return 0;
}
